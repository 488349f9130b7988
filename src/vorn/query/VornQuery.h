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
    static constexpr double kDefaultMaxCacheAge = 18000;

    static std::shared_ptr<VornQuery> initWithClassName(const std::string& className);
    static std::shared_ptr<VornQuery> queryWithClassName(const std::string& className);
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
    const std::string& queryClassName() const { return queryClassName_; }
    void setQueryClassName(std::string className) { queryClassName_ = std::move(className); }
    /// The constraint map, with nested sub-queries brought up to date.
    nlohmann::json& queryDic();
    void setQueryDic(nlohmann::json queryDic);
    nlohmann::json& queryDataDic() { return queryDic(); }
    long long limit() const { return limit_; }
    void setLimit(long long limit) { limit_ = limit; }
    long long skip() const { return skip_; }
    void setSkip(long long skip) { skip_ = skip; }
    int cachePolicy() const { return cachePolicy_; }
    /// Values outside 0 to 5 are refused (the policy stays as it was).
    void setCachePolicy(int cachePolicy);
    double maxCacheAge() const { return maxCacheAge_; }
    void setMaxCacheAge(double seconds) { maxCacheAge_ = seconds; }
    const std::vector<std::string>& keysArray() const { return keysArray_; }
    const std::vector<std::string>& orderArray() const { return orderArray_; }

    // Constraints: each replaces whatever its map key held.
    void whereKeyEqualTo(const std::string& key, const VornValue& value);
    void whereKeyNotEqualTo(const std::string& key, const VornValue& value);
    void whereKeyGreaterThan(const std::string& key, const VornValue& value);
    void whereKeyGreaterThanOrEqualTo(const std::string& key, const VornValue& value);
    void whereKeyLessThan(const std::string& key, const VornValue& value);
    void whereKeyLessThanOrEqualTo(const std::string& key, const VornValue& value);
    /// On "objectId" or "_id": an "$or" of {"_id": element} for the string elements.
    void whereKeyContainedIn(const std::string& key, const nlohmann::json& array);
    void whereKeyNotContainedIn(const std::string& key, const nlohmann::json& array);
    void whereKeyExists(const std::string& key);
    void whereKeyDoesNotExist(const std::string& key);
    void whereKeyMatchesWithRegex(const std::string& key, const std::string& pattern);
    void whereKeyStartWithString(const std::string& key, const std::string& text);
    void whereKeyEndWithString(const std::string& key, const std::string& text);
    void whereKeyNearGeoPoint(const std::string& key, const VornGeoPoint& point);
    void whereKeyNearGeoPointWithinMiles(const std::string& key, const VornGeoPoint& point, double miles);
    void whereKeyNearGeoPointWithinKilometers(const std::string& key, const VornGeoPoint& point, double kilometers);
    void whereKeyNearGeoPointWithinRadians(const std::string& key, const VornGeoPoint& point, double radians);
    void whereKeyWithinGeoBoxFromSouthwestToNortheast(const std::string& key,
                                                      const std::optional<VornGeoPoint>& southwest,
                                                      const std::optional<VornGeoPoint>& northeast);
    /// The sub-query's constraint map is nested, not copied: later changes
    /// of the sub-query show in this query's requests.
    void whereKeyMatchesQuery(const std::string& key, const std::shared_ptr<VornQuery>& query);
    void whereKeyDoesNotMatchQuery(const std::string& key, const std::shared_ptr<VornQuery>& query);
    void whereObjectKey(const std::string& key, const std::shared_ptr<VornObject>& object);
    void addTheConstraintByAndOperationWithArray(const nlohmann::json& array);
    void addTheConstraintByOrOperationWithArray(const nlohmann::json& array);
    void queryWithAllConstraint(const nlohmann::json& constraints);

    // Shaping.
    void selectKeys(const std::vector<std::string>& keys);
    void orderByAscending(const std::string& key);
    void orderByDescending(const std::string& key);
    void includeKey(const std::string& key);

    // Execution.
    void findObjectsInBackgroundWithBlock(VornArrayResultBlock block);
    void countObjectsInBackgroundWithBlock(VornCountResultBlock block);
    void getObjectInBackgroundWithId(const std::optional<std::string>& objectId, VornObjectResultBlock block);
    /// Cancels every request this query started.
    void cancle();

    // The result cache.
    bool hasCachedResult();
    void clearCachedResult();
    static void clearAllCachedResults();
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
