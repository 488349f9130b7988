#pragma once

// Data-change subscriptions of realtime sessions. A session subscribes with
// the event "client_sub" and cancels with "client_unsub"; the one argument
// is a JSON text with exactly the string members "appKey", "tableName",
// "objectId" and "action". Committed object changes reach the matching
// subscriptions as "server_pub" events. Thread-safe: the realtime host's
// hooks call in on its thread, committed changes arrive on the server's.

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorn::emulator {

struct ChangeNotice;

class ChangeNotices {
public:
    // Sends an event to a session: (sid, endpoint, name, args array).
    using Emit = std::function<void(const std::string&, const std::string&, const std::string&, const nlohmann::json&)>;

    static constexpr std::size_t kMaxSubscriptionsPerSession = 1000;

    ChangeNotices(std::string appKey, Emit emit);

    // Realtime host hooks.
    void sessionJoined(const std::string& sid, const std::string& endpoint);
    // True for "client_sub" and "client_unsub" (handled here).
    bool event(const std::string& sid, const std::string& endpoint, const std::string& name,
               const nlohmann::json& args);
    void sessionEnded(const std::string& sid);
    // The session left a namespace: its subscriptions there go.
    void sessionLeft(const std::string& sid, const std::string& endpoint);

    // A committed change: a "server_pub" to every matching subscription.
    void publish(const ChangeNotice& change);
    // Whether a subscription matches such a change now.
    bool wants(const ChangeNotice& change) const;
    // A notice by hand (the admin endpoint): to every subscription of the
    // action, table and (for row actions) object id. Returns how many.
    std::size_t publishByHand(const std::string& action, const std::string& tableName, const std::string& objectId,
                              const nlohmann::json& extra);

    std::size_t subscriptionCount() const;
    // Every subscription as {"sid", "endpoint", "action", "tableName", "objectId"}.
    nlohmann::json list() const;

private:
    using Key = std::tuple<std::string, std::string, std::string>;  // action, table, object id ("" for tables)
    using Subscriber = std::pair<std::string, std::string>;         // sid, endpoint

    void refuse(const std::string& sid, const std::string& endpoint, const std::string& eventName, int code,
                const std::string& message);
    std::size_t send(const Key& key, const nlohmann::json& notice);
    // The subscriptions a change reaches: (action, object id) pairs.
    static std::vector<std::pair<std::string, std::string>> keysOf(const ChangeNotice& change);

    std::string appKey_;
    Emit emit_;
    mutable std::mutex mutex_;
    std::map<Key, std::set<Subscriber>> subscribers_;
    std::map<std::string, std::set<std::pair<Key, std::string>>> bySession_;  // sid -> (key, endpoint)
};

}  // namespace vorn::emulator
