#pragma once

// What the realtime host's connections and sessions share: the options, the
// hooks, the session table and the records the host's queries read from
// other threads (under `mutex`). Everything else is touched on the host's
// thread only.

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "vorn_emulator/Realtime.h"

namespace vorn::emulator::realtime {

class RealtimeSession;
class RealtimeHttpConnection;
class RealtimeWebSocket;

class RealtimeCore {
public:
    RealtimeCore(boost::asio::io_context& ioc, RealtimeOptions options);
    RealtimeCore(const RealtimeCore&) = delete;
    RealtimeCore& operator=(const RealtimeCore&) = delete;

    boost::asio::io_context& ioc() { return ioc_; }
    const RealtimeOptions& options() const { return options_; }
    bool verbose() const { return options_.verbose; }
    bool serves(std::string_view transport) const;
    void log(std::string_view line) const;

    // Set at start, before the thread runs.
    std::function<void(const std::string&, const std::string&)> onConnect;
    std::function<bool(const std::string&, const std::string&, const std::string&, const nlohmann::json&)> onEvent;
    std::function<void(const std::string&)> onSessionEnd;
    std::function<void(const std::string&, const std::string&)> onLeave;

    // The hooks, guarded: an exception is logged. No hooks while stopping.
    void connected(const std::string& sid, const std::string& endpoint) const;
    void left(const std::string& sid, const std::string& endpoint) const;
    bool event(const std::string& sid, const std::string& endpoint, const std::string& name,
               const nlohmann::json& args) const;
    // An ack callback given to emit, guarded the same way.
    void acknowledged(const std::function<void(const nlohmann::json&)>& onAck, const nlohmann::json& args) const;

    std::atomic<bool> silent{false};
    std::atomic<bool> stopping{false};

    // A new handshaken session; null when maxSessions are open.
    std::shared_ptr<RealtimeSession> createSession();
    std::shared_ptr<RealtimeSession> find(const std::string& sid) const;
    // Called by a session as it ends: forgets it and calls onSessionEnd.
    void sessionEnded(const std::string& sid);
    // Every session, for the shutdown.
    std::vector<std::shared_ptr<RealtimeSession>> allSessions() const;

    // Open connections, closed on stop.
    std::unordered_set<RealtimeHttpConnection*> connections;
    std::unordered_set<RealtimeWebSocket*> webSockets;
    std::size_t maxConnections() const;

    // Any thread.
    void record(const std::string& sid, std::string_view packet);
    bool live(const std::string& sid) const;
    // Ended a short while ago (its record is still kept).
    bool recentlyEnded(const std::string& sid) const;
    std::vector<std::string> liveSessionIds() const;
    std::vector<std::string> received(const std::string& sid) const;
    std::size_t handshakes() const { return handshakes_; }

private:
    boost::asio::io_context& ioc_;
    RealtimeOptions options_;
    std::unordered_map<std::string, std::shared_ptr<RealtimeSession>> sessions_;

    mutable std::mutex mutex_;
    std::unordered_set<std::string> live_;
    std::unordered_map<std::string, std::deque<std::string>> received_;
    std::deque<std::string> endedOrder_;  // ended sessions whose records are kept
    std::atomic<std::size_t> handshakes_{0};
};

}  // namespace vorn::emulator::realtime
