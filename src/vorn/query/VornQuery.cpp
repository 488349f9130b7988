#include "vorn/query/VornQuery.h"

#include "vorn/core/JsonAccess.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/data/VornObjectRegistry.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/query/VornQueryCache.h"
#include "vorn/service/VornService.h"

#include <climits>

namespace vorn {
namespace {

using jsonutil::member;
using jsonutil::textOf;

enum class CacheState { None, Fresh, Expired };

/// Whether the cache file exists and how old it is. A file that exists but
/// cannot be read is a cache that yields no objects when delivered.
CacheState cacheState(const std::filesystem::path& path, double maxCacheAge) {
    if (!VornQueryCache::exists(path)) return CacheState::None;
    return VornQueryCache::isExpired(path, maxCacheAge) ? CacheState::Expired : CacheState::Fresh;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text += ",";
        text += part;
    }
    return text;
}

OptionalError error(int code) {
    return v_VornUtils::vornErrorWithType(code);
}

/// A reply's body as a JSON object, or the parser's error.
std::variant<nlohmann::json, VornError> replyObject(const VornServiceReply& reply) {
    auto body = jsonutil::parse(reply.text);
    if (!body.is_object()) return reply.parserError();
    return body;
}

int intValue(const nlohmann::json& value) {
    if (value.is_number_integer()) return static_cast<int>(static_cast<std::int32_t>(value.get<std::int64_t>()));
    if (value.is_number()) {
        const double number = value.get<double>();
        return number > INT_MIN && number < INT_MAX ? static_cast<int>(number) : 0;
    }
    if (value.is_string()) return std::atoi(value.get<std::string>().c_str());
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    return 0;
}

std::optional<v_VornUtils::Date> dateMember(const nlohmann::json& map, const char* key) {
    const auto* text = member(map, key);
    return text ? v_VornUtils::dateOfString(textOf(*text)) : std::nullopt;
}

/// An object of the class from a result map; the map's entries are moved
/// into the object.
std::shared_ptr<VornObject> objectFromMap(const std::string& className, nlohmann::json&& map) {
    auto object = VornObjectRegistry::shared().makeObject(className);
    const auto* id = member(map, "objectId");
    object->setObjectId(id ? std::optional<std::string>(textOf(*id)) : std::nullopt);
    object->setCreatedAt(dateMember(map, "createdAt"));
    object->setUpdatedAt(dateMember(map, "updatedAt"));
    object->getDictionaryAfterQuery(std::move(map));
    return object;
}

std::shared_ptr<VornObject> objectFromMap(const std::string& className, const nlohmann::json& map) {
    return objectFromMap(className, nlohmann::json(map));
}

VornObjectList objectsFromMaps(const std::string& className, nlohmann::json&& maps) {
    VornObjectList objects;
    if (!maps.is_array()) return objects;
    objects.reserve(maps.size());
    for (auto& map : maps) {
        if (map.is_object()) objects.push_back(objectFromMap(className, std::move(map)));
    }
    return objects;
}

VornObjectList objectsFromMaps(const std::string& className, const nlohmann::json& maps) {
    return objectsFromMaps(className, nlohmann::json(maps));
}

nlohmann::json geoPoint(const VornGeoPoint& point) {
    return point.wireForm();
}

/// Nesting deeper than this is a cycle of sub-queries; it is cut there.
constexpr int kMaxNesting = 32;
thread_local int nestingDepth = 0;

}  // namespace

std::shared_ptr<VornQuery> VornQuery::initWithClassName(const std::string& className) {
    return std::make_shared<VornQuery>(Passkey{}, className);
}

std::shared_ptr<VornQuery> VornQuery::queryWithClassName(const std::string& className) {
    return initWithClassName(className);
}

std::shared_ptr<VornQuery> VornQuery::queryForUser() {
    return initWithClassName("_User");
}

VornQuery::VornQuery(Passkey, std::string className) : queryClassName_(std::move(className)) {}

VornQuery::~VornQuery() = default;

void VornQuery::setCachePolicy(int cachePolicy) {
    if (cachePolicy >= kVornCachePolicyIgnoreCache && cachePolicy <= kVornCachePolicyCacheThenNetwork) {
        cachePolicy_ = cachePolicy;
    }
}

nlohmann::json& VornQuery::queryDic() {
    refreshNested();
    return queryDic_;
}

void VornQuery::setQueryDic(nlohmann::json queryDic) {
    queryDic_ = queryDic.is_object() ? std::move(queryDic) : nlohmann::json::object();
    nested_.clear();
}

void VornQuery::refreshNested() {
    if (nested_.empty() || nestingDepth >= kMaxNesting) return;
    ++nestingDepth;
    for (auto it = nested_.begin(); it != nested_.end();) {
        auto entry = queryDic_.find(it->first);
        if (entry == queryDic_.end() || !entry->is_object() || !entry->contains(it->second.op)) {
            it = nested_.erase(it);  // the key was given another constraint
            continue;
        }
        auto& sub = *it->second.query;
        (*entry)[it->second.op] = {{"where", sub.queryDic()}, {"className", sub.queryClassName()}};
        ++it;
    }
    --nestingDepth;
}

void VornQuery::setConstraint(const std::string& key, nlohmann::json entry) {
    if (key.empty()) return;
    nested_.erase(key);
    queryDic_[key] = std::move(entry);
}

void VornQuery::whereKeyEqualTo(const std::string& key, const VornValue& value) {
    if (!value.isAbsent()) setConstraint(key, value.wireForm());
}

void VornQuery::whereKeyNotEqualTo(const std::string& key, const VornValue& value) {
    if (!value.isAbsent()) setConstraint(key, {{"$ne", value.wireForm()}});
}

void VornQuery::whereKeyGreaterThan(const std::string& key, const VornValue& value) {
    if (!value.isAbsent()) setConstraint(key, {{"$gt", value.wireForm()}});
}

void VornQuery::whereKeyGreaterThanOrEqualTo(const std::string& key, const VornValue& value) {
    if (!value.isAbsent()) setConstraint(key, {{"$gte", value.wireForm()}});
}

void VornQuery::whereKeyLessThan(const std::string& key, const VornValue& value) {
    if (!value.isAbsent()) setConstraint(key, {{"$lt", value.wireForm()}});
}

void VornQuery::whereKeyLessThanOrEqualTo(const std::string& key, const VornValue& value) {
    if (!value.isAbsent()) setConstraint(key, {{"$lte", value.wireForm()}});
}

void VornQuery::whereKeyContainedIn(const std::string& key, const nlohmann::json& array) {
    if (key.empty() || !array.is_array()) return;
    if (key == "objectId" || key == "_id") {
        nlohmann::json alternatives = nlohmann::json::array();
        for (const auto& element : array) {
            if (element.is_string()) alternatives.push_back({{"_id", element}});
        }
        addTheConstraintByOrOperationWithArray(alternatives);
        return;
    }
    setConstraint(key, {{"$in", array}});
}

void VornQuery::whereKeyNotContainedIn(const std::string& key, const nlohmann::json& array) {
    if (array.is_array()) setConstraint(key, {{"$nin", array}});
}

void VornQuery::whereKeyExists(const std::string& key) {
    setConstraint(key, {{"$exists", true}});
}

void VornQuery::whereKeyDoesNotExist(const std::string& key) {
    setConstraint(key, {{"$exists", false}});
}

void VornQuery::whereKeyMatchesWithRegex(const std::string& key, const std::string& pattern) {
    if (!pattern.empty()) setConstraint(key, {{"$regex", pattern}});
}

void VornQuery::whereKeyStartWithString(const std::string& key, const std::string& text) {
    if (!text.empty()) setConstraint(key, {{"$regex", "^" + text}});
}

void VornQuery::whereKeyEndWithString(const std::string& key, const std::string& text) {
    if (!text.empty()) setConstraint(key, {{"$regex", text + "$"}});
}

void VornQuery::whereKeyNearGeoPoint(const std::string& key, const VornGeoPoint& point) {
    setConstraint(key == "objectId" ? "_id" : key, {{"$nearSphere", geoPoint(point)}});
}

void VornQuery::whereKeyNearGeoPointWithinMiles(const std::string& key, const VornGeoPoint& point, double miles) {
    setConstraint(key, {{"$nearSphere", geoPoint(point)}, {"$maxDistanceInMiles", miles}});
}

void VornQuery::whereKeyNearGeoPointWithinKilometers(const std::string& key, const VornGeoPoint& point,
                                                     double kilometers) {
    setConstraint(key, {{"$nearSphere", geoPoint(point)}, {"$maxDistanceInKilometers", kilometers}});
}

void VornQuery::whereKeyNearGeoPointWithinRadians(const std::string& key, const VornGeoPoint& point, double radians) {
    setConstraint(key, {{"$nearSphere", geoPoint(point)}, {"$maxDistanceInRadians", radians}});
}

void VornQuery::whereKeyWithinGeoBoxFromSouthwestToNortheast(const std::string& key,
                                                             const std::optional<VornGeoPoint>& southwest,
                                                             const std::optional<VornGeoPoint>& northeast) {
    if (!southwest || !northeast) return;
    setConstraint(key, {{"$within", {{"$box", {geoPoint(*southwest), geoPoint(*northeast)}}}}});
}

void VornQuery::nest(const std::string& key, const char* op, const std::shared_ptr<VornQuery>& query) {
    if (key.empty() || !query) return;
    setConstraint(key, {{op, {{"where", query->queryDic()}, {"className", query->queryClassName()}}}});
    if (query.get() != this) nested_[key] = Nested{op, query};
}

void VornQuery::whereKeyMatchesQuery(const std::string& key, const std::shared_ptr<VornQuery>& query) {
    nest(key, "$inQuery", query);
}

void VornQuery::whereKeyDoesNotMatchQuery(const std::string& key, const std::shared_ptr<VornQuery>& query) {
    nest(key, "$notInQuery", query);
}

void VornQuery::whereObjectKey(const std::string& key, const std::shared_ptr<VornObject>& object) {
    if (key.empty() || !object) return;
    setConstraint("$relatedTo", {{"object", object->pointerForm()}, {"key", key}});
}

void VornQuery::addTheConstraintByAndOperationWithArray(const nlohmann::json& array) {
    if (array.is_array()) setConstraint("$and", array);
}

void VornQuery::addTheConstraintByOrOperationWithArray(const nlohmann::json& array) {
    if (array.is_array()) setConstraint("$or", array);
}

void VornQuery::queryWithAllConstraint(const nlohmann::json& constraints) {
    if (!constraints.is_object() || constraints.empty()) return;
    setQueryDic(constraints);
}

void VornQuery::selectKeys(const std::vector<std::string>& keys) {
    keysArray_ = keys;
}

void VornQuery::orderByAscending(const std::string& key) {
    if (!key.empty()) orderArray_.push_back(key);
}

void VornQuery::orderByDescending(const std::string& key) {
    if (!key.empty()) orderArray_.push_back("-" + key);
}

void VornQuery::includeKey(const std::string& key) {
    if (!key.empty()) setConstraint("include", key);
}

// Requests.

nlohmann::json VornQuery::takeInclude() {
    refreshNested();
    auto it = queryDic_.find("include");
    if (it == queryDic_.end()) return nullptr;
    nlohmann::json include = std::move(*it);
    queryDic_.erase(it);
    return include;
}

nlohmann::json VornQuery::findData(const std::optional<nlohmann::json>& include) const {
    nlohmann::json data = nlohmann::json::object();
    if (!keysArray_.empty()) data["keys"] = joined(keysArray_);
    if (!orderArray_.empty()) data["order"] = joined(orderArray_);
    if (include && !include->is_null()) data["include"] = *include;
    if (!queryDic_.empty()) data["where"] = queryDic_;
    if (skip_ != 0) data["skip"] = skip_;
    if (limit_ != 0) data["limit"] = limit_;
    return data;
}

std::filesystem::path VornQuery::selfQueryFileName() {
    nlohmann::json descriptor{{"data", queryDic()}, {"c", queryClassName_}};
    if (skip_ != 0) descriptor["p"] = skip_;
    if (limit_ != 0) descriptor["l"] = limit_;
    if (!keysArray_.empty()) descriptor["keys"] = keysArray_;
    if (!orderArray_.empty()) descriptor["o"] = orderArray_;
    if (auto include = queryDic_.find("include"); include != queryDic_.end()) descriptor["include"] = *include;
    return VornQueryCache::pathFor(descriptor);
}

VornObjectList VornQuery::turnArrayToVornObjectArray(const nlohmann::json& maps) const {
    return objectsFromMaps(queryClassName_, maps);
}

void VornQuery::findObjectsInBackgroundWithBlock(VornArrayResultBlock block) {
    const auto include = takeInclude();
    const auto data = findData(include);
    const auto cachePath = selfQueryFileName();
    auto reply = [&block](const std::optional<VornObjectList>& objects, const OptionalError& failure) {
        if (block) block(objects, failure);
    };
    switch (cachePolicy_) {
        case kVornCachePolicyIgnoreCache:
        case kVornCachePolicyNetworkOnly:
        case kVornCachePolicyNetworkElseCache:
            break;
        case kVornCachePolicyCacheOnly:
            switch (cacheState(cachePath, maxCacheAge_)) {
                case CacheState::Fresh:
                    return deliverCache(cachePath, data, block);
                case CacheState::Expired:
                    return reply(std::nullopt, error(kVornErrorExpired));
                case CacheState::None:
                    return reply(VornObjectList{}, std::nullopt);
            }
            return;
        case kVornCachePolicyCacheElseNetwork:
            if (cacheState(cachePath, maxCacheAge_) == CacheState::Fresh) return deliverCache(cachePath, data, block);
            break;
        case kVornCachePolicyCacheThenNetwork:
            switch (cacheState(cachePath, maxCacheAge_)) {
                case CacheState::Fresh:
                    deliverCache(cachePath, data, block);
                    break;
                case CacheState::Expired:
                    reply(std::nullopt, error(kVornErrorExpired));
                    break;
                case CacheState::None:
                    break;
            }
            break;
        default:
            return;
    }
    sendFind(data, cachePath, block);
}

void VornQuery::deliverCache(const std::filesystem::path& cachePath, const nlohmann::json& data,
                             const VornArrayResultBlock& block) {
    auto objects = objectsFromMaps(queryClassName_, VornQueryCache::read(cachePath).value_or(nlohmann::json::array()));
    if (!objects.empty()) {
        if (block) block(objects, std::nullopt);
    } else if (cachePolicy_ == kVornCachePolicyCacheElseNetwork) {
        sendFind(data, cachePath, block);
    } else if (block) {
        block(VornObjectList{}, std::nullopt);
    }
}

void VornQuery::sendFind(const nlohmann::json& data, const std::filesystem::path& cachePath,
                         const VornArrayResultBlock& block) {
    VornServiceCall call;
    call.path = "find";
    call.c = queryClassName_;
    call.objectId = nullptr;
    if (!data.empty()) call.data = data;
    call.sendSessionToken = true;
    const int policy = cachePolicy_;
    const double maxCacheAge = maxCacheAge_;
    auto handler = [block, policy, maxCacheAge, cachePath, className = queryClassName_](const VornServiceReply& reply) {
        auto answer = [&block](const std::optional<VornObjectList>& objects, const OptionalError& failure) {
            if (block) block(objects, failure);
        };
        if (reply.status == VornServiceReply::Status::TransportFailed)
            return answer(VornObjectList{}, error(kVornErrorConnectFailed));
        auto body = replyObject(reply);
        if (auto* failure = std::get_if<VornError>(&body)) return answer(VornObjectList{}, *failure);
        if (std::get<nlohmann::json>(body).empty()) return answer(VornObjectList{}, std::nullopt);
        if (!reply.succeeded()) return answer(VornObjectList{}, reply.error());
        const auto* data = reply.validData();
        if (data == nullptr) return answer(VornObjectList{}, error(kVornErrorUnknown));
        const auto* results = data->is_object() ? member(*data, "results") : nullptr;
        const nlohmann::json maps = results && results->is_array() ? *results : nlohmann::json::array();
        if (!maps.empty()) {
            auto objects = objectsFromMaps(className, maps);
            if (policy != kVornCachePolicyIgnoreCache) VornQueryCache::write(cachePath, maps);
            return answer(objects, std::nullopt);
        }
        if (policy == kVornCachePolicyNetworkElseCache) {
            switch (cacheState(cachePath, maxCacheAge)) {
                case CacheState::Fresh:
                    return answer(
                        objectsFromMaps(className, VornQueryCache::read(cachePath).value_or(nlohmann::json())),
                        std::nullopt);
                case CacheState::Expired:
                    return answer(VornObjectList{}, error(kVornErrorExpired));
                case CacheState::None:
                    break;
            }
        }
        answer(VornObjectList{}, std::nullopt);
    };
    requestArray_.push_back(VornService::send(call, std::move(handler)));
}

void VornQuery::countObjectsInBackgroundWithBlock(VornCountResultBlock block) {
    nlohmann::json data = findData(std::nullopt);
    data.erase("include");
    refreshNested();
    if (!queryDic_.empty()) data["where"] = queryDic_;
    data["count"] = true;
    VornServiceCall call;
    call.path = "find";
    call.c = queryClassName_;
    call.objectId = nullptr;
    call.data = std::move(data);
    requestArray_.push_back(VornService::send(call, [block = std::move(block)](const VornServiceReply& reply) {
        if (!block) return;
        if (reply.status == VornServiceReply::Status::TransportFailed) return block(-1, error(kVornErrorConnectFailed));
        auto body = replyObject(reply);
        if (auto* failure = std::get_if<VornError>(&body)) return block(-1, *failure);
        if (!reply.succeeded()) return block(-1, reply.error());
        const auto* data = reply.validData();
        if (data == nullptr) return block(-1, error(kVornErrorUnknown));
        const auto* count = data->is_object() ? member(*data, "count") : nullptr;
        block(count ? intValue(*count) : 0, std::nullopt);
    }));
}

void VornQuery::getObjectInBackgroundWithId(const std::optional<std::string>& objectId, VornObjectResultBlock block) {
    if (!objectId) {
        if (block) block(nullptr, error(kVornErrorNoneObjectId));
        return;
    }
    const auto include = takeInclude();
    nlohmann::json data = nlohmann::json::object();
    if (!keysArray_.empty()) data["keys"] = joined(keysArray_);
    if (!include.is_null()) data["include"] = include;
    VornServiceCall call;
    call.path = "find";
    call.c = queryClassName_;
    call.objectId = *objectId;
    call.data = data.empty() ? nlohmann::json() : data;
    call.sendSessionToken = true;
    auto handler = [block = std::move(block), className = queryClassName_](const VornServiceReply& reply) {
        if (!block) return;
        if (reply.status == VornServiceReply::Status::TransportFailed)
            return block(nullptr, error(kVornErrorConnectFailed));
        auto body = replyObject(reply);
        if (auto* failure = std::get_if<VornError>(&body)) return block(nullptr, *failure);
        if (!reply.succeeded()) {
            const auto& map = std::get<nlohmann::json>(body);
            return block(nullptr, member(map, "result") ? reply.error() : error(kVornErrorUnknown));
        }
        const auto* data = reply.validData();
        if (data == nullptr || !data->is_object()) return block(nullptr, error(kVornErrorUnknown));
        if (data->empty()) return block(nullptr, error(kVornErrorNoneObject));
        block(objectFromMap(className, *data), std::nullopt);
    };
    requestArray_.push_back(VornService::send(call, std::move(handler)));
}

void VornQuery::cancle() {
    for (const auto& request : requestArray_) {
        if (request) request->cancle();
    }
}

bool VornQuery::hasCachedResult() {
    return VornQueryCache::exists(selfQueryFileName());
}

void VornQuery::clearCachedResult() {
    VornQueryCache::remove(selfQueryFileName());
}

void VornQuery::clearAllCachedResults() {
    VornQueryCache::clearAll();
}

bool VornQuery::isExpired() {
    return VornQueryCache::isExpired(selfQueryFileName(), maxCacheAge_);
}

}  // namespace vorn
