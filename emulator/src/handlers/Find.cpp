// POST /7/find: queries over the objects of one class.
//   "c": class name
//   "objectId": null   -> find or count
//     data: {"where": map, "keys": "a,b", "order": "a,-b", "skip": N, "limit": N,
//            "include": "post.author", "count": true}   (all optional)
//     reply data: {"results": [object maps]} or, with "count", {"count": N, "results": []}
//   "objectId": an id  -> fetch that object
//     data: null or {"keys", "include"}
//     reply data: the object map, or {} when there is no such object
// The constraint language is in query/Constraints.h. Only the objects the
// user of the X-Vorn-Session-Token header may read (anonymous without a valid
// token) are found, counted, fetched, included and seen by sub-queries.

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/AccessControl.h"
#include "handlers/Handlers.h"
#include "handlers/ObjectWrites.h"
#include "query/Include.h"
#include "query/Projection.h"
#include "query/Query.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

ServiceError invalidMember(std::string_view key, std::string_view what) {
    return ServiceError(ErrorCode::InvalidFieldType, "field \"" + std::string(key) + "\" in data " + std::string(what));
}

const json* optionalMember(const json& data, std::string_view key) {
    if (!data.is_object()) return nullptr;
    auto it = data.find(key);
    if (it == data.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<std::string_view> optionalText(const json& data, std::string_view key) {
    const json* value = optionalMember(data, key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_string()) throw invalidMember(key, "must be a string");
    return std::string_view(value->get_ref<const std::string&>());
}

// "skip" and "limit": whole numbers from 0 up; very large ones saturate.
std::optional<std::size_t> optionalCount(const json& data, std::string_view key) {
    const json* value = optionalMember(data, key);
    if (value == nullptr) return std::nullopt;
    constexpr auto kMax = std::numeric_limits<std::size_t>::max();
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        return number > kMax ? kMax : static_cast<std::size_t>(number);
    }
    if (value->is_number_integer()) {
        const auto number = value->get<std::int64_t>();
        if (number < 0) throw invalidMember(key, "must not be negative");
        return static_cast<std::size_t>(number);
    }
    if (value->is_number_float()) {
        const double number = value->get<double>();
        if (number < 0) throw invalidMember(key, "must not be negative");
        if (std::floor(number) != number) throw invalidMember(key, "must be a whole number");
        return number >= 1e18 ? kMax : static_cast<std::size_t>(number);
    }
    throw invalidMember(key, "must be a number");
}

bool countRequested(const json& data) {
    const json* value = optionalMember(data, "count");
    if (value == nullptr) return false;
    if (value->is_boolean()) return value->get<bool>();
    if (value->is_number()) return value->get<double>() != 0;
    throw invalidMember("count", "must be true or false");
}

// "include" and "keys" applied to each result map.
class Shaper {
public:
    Shaper(ObjectStore& store, const json& data, accounts::Caller& caller)
        : includer_(store, optionalText(data, "include").value_or(""), &caller) {
        if (auto keys = optionalText(data, "keys")) projection_.emplace(*keys);
    }

    json shape(const StoredObject& object) {
        json result = object.toResult();
        if (!includer_.empty()) includer_.apply(result);
        if (projection_) projection_->apply(result);
        return result;
    }

private:
    query::Includer includer_;
    std::optional<query::Projection> projection_;
};

json fetchOne(ObjectStore& store, accounts::Caller& caller, const std::string& className, const std::string& objectId,
              const json& data) {
    Shaper shaper(store, data, caller);
    auto object = store.load(className, objectId);
    if (!object || !caller.may(accounts::Permission::Read, object->fields)) return json::object();
    return shaper.shape(*object);
}

json find(query::QueryContext& context, const std::string& className, const json& data) {
    query::FindRequest request;
    request.className = className;
    if (const json* where = optionalMember(data, "where")) {
        if (!where->is_object()) throw invalidMember("where", "must be an object");
        request.where = where;
    }
    if (auto order = optionalText(data, "order")) request.order = query::parseOrder(*order);
    request.skip = optionalCount(data, "skip").value_or(0);
    request.limit = std::min(optionalCount(data, "limit").value_or(query::kDefaultLimit), query::kMaxLimit);
    request.countOnly = countRequested(data);
    ObjectStore store(context.storage);
    Shaper shaper(store, data, *context.caller);  // checks "keys" and "include" before the scan

    const query::FindResult found = query::runFind(context, request);
    json results = json::array();
    if (request.countOnly) return json{{"count", found.count}, {"results", std::move(results)}};
    for (const auto& object : found.objects) results.push_back(shaper.shape(*object));
    return json{{"results", std::move(results)}};
}

}  // namespace

void registerFindHandlers(Router& router, query::ObjectCache& objects) {
    // The router's handlers all run on the server thread, which alone uses
    // the cache.
    query::ObjectCache* cache = &objects;
    router.addEnvelope("/7/find", [cache](RequestContext& ctx) {
        const std::string className = requireName(ctx, "c");
        const json& data = ctx.data();
        if (!data.is_null() && !data.is_object()) {
            throw ServiceError(ErrorCode::InvalidFieldType, "\"data\" must be an object");
        }
        auto caller = accounts::Caller::fromToken(ctx.storage(), ctx.sessionToken());
        if (ctx.member("objectId").is_null()) {
            query::QueryContext context{ctx.storage(), *cache, &caller};
            return find(context, className, data);
        }
        ObjectStore store(ctx.storage());
        return fetchOne(store, caller, className, requireName(ctx, "objectId"), data);
    });
}

}  // namespace vorn::emulator
