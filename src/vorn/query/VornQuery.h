#pragma once

#include "vorn/core/VornError.h"
#include "vorn/data/VornGeoPoint.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornValue.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

class VornUrlRequest;

/// How a find uses the local result cache.
enum VornCachePolicy : int {
    kVornCachePolicyIgnoreCache = 0,
    kVornCachePolicyCacheOnly = 1,
    kVornCachePolicyNetworkOnly = 2,
    kVornCachePolicyCacheElseNetwork = 3,
    kVornCachePolicyNetworkElseCache = 4,
    kVornCachePolicyCacheThenNetwork = 5,
};

using VornObjectList = std::vector<std::shared_ptr<VornObject>>;
/// Objects found, or none (no list at all), and the error.
using VornArrayResultBlock =
    std::function<void(const std::optional<VornObjectList>& objects, const OptionalError& error)>;
using VornCountResultBlock = std::function<void(int count, const OptionalError& error)>;
using VornObjectResultBlock =
    std::function<void(const std::shared_ptr<VornObject>& object, const OptionalError& error)>;

/// A read of one class of stored objects: which objects (the constraint
/// map, sent as "where"), which fields, in which order, how many, which
/// pointed-to objects to expand, and how the local cache is used.
///
/// Each operation ends in one call of its callback (two for the
/// cache-then-network policy): inside the call when the cache or a check
/// answers, otherwise on the main loop.
class VornQuery : public std::enable_shared_from_this<VornQuery> {
public:
    /// The default maximum cache age, in seconds (five hours).
    static constexpr double kDefaultMaxCacheAge = 18000;

    /// A query of the named class.
    static std::shared_ptr<VornQuery> initWithClassName(const std::string& className);
    /// The same as `initWithClassName`.
    static std::shared_ptr<VornQuery> queryWithClassName(const std::string& className);
    /// A query of the users ("_User").
    static std::shared_ptr<VornQuery> queryForUser();

private:
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    /// Made only by the factories: a query is always owned by a `std::shared_ptr`.
    VornQuery(Passkey, std::string className);
    ~VornQuery();

    // Plain accessors.
    /// The name of the class read.
    const std::string& queryClassName() const { return queryClassName_; }
    /// Sets the name of the class read.
    void setQueryClassName(std::string className) { queryClassName_ = std::move(className); }
    /// The constraint map, with nested sub-queries brought up to date.
    nlohmann::json& queryDic();
    /// Replaces the constraint map (anything but a JSON object leaves it empty) and drops the nested sub-queries.
    void setQueryDic(nlohmann::json queryDic);
    /// The same as `queryDic()`.
    nlohmann::json& queryDataDic() { return queryDic(); }
    /// The most objects a find returns; 0 sends no limit.
    long long limit() const { return limit_; }
    /// Sets the limit.
    void setLimit(long long limit) { limit_ = limit; }
    /// How many objects a find skips; 0 sends no skip.
    long long skip() const { return skip_; }
    /// Sets the skip.
    void setSkip(long long skip) { skip_ = skip; }
    /// The cache policy, a `VornCachePolicy`.
    int cachePolicy() const { return cachePolicy_; }
    /// Values outside 0 to 5 are refused (the policy stays as it was).
    void setCachePolicy(int cachePolicy);
    /// How long a cached result stays fresh, in seconds.
    double maxCacheAge() const { return maxCacheAge_; }
    /// Sets the maximum cache age.
    void setMaxCacheAge(double seconds) { maxCacheAge_ = seconds; }
    /// The fields a find returns ("keys"); empty for all.
    const std::vector<std::string>& keysArray() const { return keysArray_; }
    /// The sort keys, "-" first for descending.
    const std::vector<std::string>& orderArray() const { return orderArray_; }

    // Constraints: each replaces whatever its map key held.
    /// Matches objects whose field equals the value; a value that holds nothing is ignored.
    void whereKeyEqualTo(const std::string& key, const VornValue& value);
    /// The same, for fields not equal to the value ("$ne").
    void whereKeyNotEqualTo(const std::string& key, const VornValue& value);
    /// The same, for fields greater than the value ("$gt").
    void whereKeyGreaterThan(const std::string& key, const VornValue& value);
    /// The same, for fields greater than or equal to the value ("$gte").
    void whereKeyGreaterThanOrEqualTo(const std::string& key, const VornValue& value);
    /// The same, for fields less than the value ("$lt").
    void whereKeyLessThan(const std::string& key, const VornValue& value);
    /// The same, for fields less than or equal to the value ("$lte").
    void whereKeyLessThanOrEqualTo(const std::string& key, const VornValue& value);
    /// On "objectId" or "_id": an "$or" of {"_id": element} for the string elements.
    void whereKeyContainedIn(const std::string& key, const nlohmann::json& array);
    /// Matches fields not in the array ("$nin"); anything but an array is ignored.
    void whereKeyNotContainedIn(const std::string& key, const nlohmann::json& array);
    /// Matches objects that have the field.
    void whereKeyExists(const std::string& key);
    /// Matches objects that lack the field.
    void whereKeyDoesNotExist(const std::string& key);
    /// Matches string fields against a regular expression; an empty pattern is ignored.
    void whereKeyMatchesWithRegex(const std::string& key, const std::string& pattern);
    /// Matches string fields that start with the text; empty text is ignored.
    void whereKeyStartWithString(const std::string& key, const std::string& text);
    /// Matches string fields that end with the text; empty text is ignored.
    void whereKeyEndWithString(const std::string& key, const std::string& text);
    /// Orders by distance from the point ("$nearSphere"); on "objectId" it constrains "_id".
    void whereKeyNearGeoPoint(const std::string& key, const VornGeoPoint& point);
    /// The same, within `miles` of the point.
    void whereKeyNearGeoPointWithinMiles(const std::string& key, const VornGeoPoint& point, double miles);
    /// The same, within `kilometers` of the point.
    void whereKeyNearGeoPointWithinKilometers(const std::string& key, const VornGeoPoint& point, double kilometers);
    /// The same, within `radians` of the point.
    void whereKeyNearGeoPointWithinRadians(const std::string& key, const VornGeoPoint& point, double radians);
    /// Matches points within the box; ignored unless both corners are given.
    void whereKeyWithinGeoBoxFromSouthwestToNortheast(const std::string& key,
                                                      const std::optional<VornGeoPoint>& southwest,
                                                      const std::optional<VornGeoPoint>& northeast);
    /// The sub-query's constraint map is nested, not copied: later changes
    /// of the sub-query show in this query's requests.
    void whereKeyMatchesQuery(const std::string& key, const std::shared_ptr<VornQuery>& query);
    /// The same, matching objects not found by the sub-query ("$notInQuery").
    void whereKeyDoesNotMatchQuery(const std::string& key, const std::shared_ptr<VornQuery>& query);
    /// Matches the objects related to `object` under its relation field `key` ("$relatedTo").
    void whereObjectKey(const std::string& key, const std::shared_ptr<VornObject>& object);
    /// Sets "$and" to the array of constraint maps; anything but an array is ignored.
    void addTheConstraintByAndOperationWithArray(const nlohmann::json& array);
    /// Sets "$or" to the array of constraint maps; anything but an array is ignored.
    void addTheConstraintByOrOperationWithArray(const nlohmann::json& array);
    /// Replaces the constraint map with `constraints`; an empty or non-map value is ignored.
    void queryWithAllConstraint(const nlohmann::json& constraints);

    // Shaping.
    /// Returns only these fields.
    void selectKeys(const std::vector<std::string>& keys);
    /// Adds an ascending sort key; an empty key is ignored.
    void orderByAscending(const std::string& key);
    /// Adds a descending sort key; an empty key is ignored.
    void orderByDescending(const std::string& key);
    /// Expands the pointed-to objects under the key in the results.
    void includeKey(const std::string& key);

    // Execution.
    /// Finds the objects, using the cache as the policy says (fresh results are written to it). `block` runs on the
    /// main loop, or at once for a cache answer: 20002 for a transport failure, the parser's error (3840) for an
    /// unparsable reply, the service's code and message, 20010 for a reply without data, 20005 for an expired cache.
    void findObjectsInBackgroundWithBlock(VornArrayResultBlock block);
    /// Counts the matching objects. `block` runs on the main loop with the count, or -1 and 20002, the parser's error
    /// (3840), the service's code and message, or 20010.
    void countObjectsInBackgroundWithBlock(VornCountResultBlock block);
    /// Reads the object with this identifier (no identifier: 20003 at once). `block` runs on the main loop with the
    /// object, or 20002, the parser's error (3840), the service's code and message, 20010, or 20004 when nothing was
    /// found.
    void getObjectInBackgroundWithId(const std::optional<std::string>& objectId, VornObjectResultBlock block);
    /// Cancels every request this query started.
    void cancle();

    // The result cache.
    /// Whether a cached result exists for the query as it is now.
    bool hasCachedResult();
    /// Removes the cached result of the query as it is now.
    void clearCachedResult();
    /// Removes every cached result.
    static void clearAllCachedResults();
    /// Whether the cached result is older than `maxCacheAge()`.
    bool isExpired();
    /// This query's cache path, for its current state.
    std::filesystem::path selfQueryFileName();

    /// Reply maps to objects of the query's class (the registered kind).
    VornObjectList turnArrayToVornObjectArray(const nlohmann::json& maps) const;

private:
    struct Nested {
        const char* op;
        std::shared_ptr<VornQuery> query;
    };

    void setConstraint(const std::string& key, nlohmann::json entry);
    void nest(const std::string& key, const char* op, const std::shared_ptr<VornQuery>& query);
    void refreshNested();
    nlohmann::json takeInclude();
    nlohmann::json findData(const std::optional<nlohmann::json>& include) const;
    void sendFind(const nlohmann::json& data, const std::filesystem::path& cachePath,
                  const VornArrayResultBlock& block);
    void deliverCache(const std::filesystem::path& cachePath, const nlohmann::json& data,
                      const VornArrayResultBlock& block);

    std::string queryClassName_;
    nlohmann::json queryDic_ = nlohmann::json::object();
    std::map<std::string, Nested> nested_;
    std::vector<std::string> keysArray_;
    std::vector<std::string> orderArray_;
    long long limit_ = 0;
    long long skip_ = 0;
    int cachePolicy_ = kVornCachePolicyIgnoreCache;
    double maxCacheAge_ = kDefaultMaxCacheAge;
    std::vector<std::shared_ptr<VornUrlRequest>> requestArray_;
};

}  // namespace vorn
