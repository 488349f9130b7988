#include "RealtimeCore.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "RealtimeSession.h"

namespace vorn::emulator::realtime {

namespace {

constexpr std::size_t kReceivedPerSession = 256;
constexpr std::size_t kReceivedTextLimit = std::size_t{16} * 1024;
constexpr std::size_t kEndedSessionsKept = 64;

// 20 random bytes in hex: letters a-f and digits only.
std::string randomSid() {
    std::array<unsigned char, 20> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        throw std::runtime_error("no random bytes for a session id");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string sid;
    sid.reserve(bytes.size() * 2);
    for (const unsigned char byte : bytes) {
        sid += kHex[byte >> 4];
        sid += kHex[byte & 0x0F];
    }
    return sid;
}

}  // namespace

RealtimeCore::RealtimeCore(boost::asio::io_context& ioc, RealtimeOptions options)
    : ioc_(ioc), options_(std::move(options)) {}

bool RealtimeCore::serves(std::string_view transport) const {
    return std::find(options_.transports.begin(), options_.transports.end(), transport) != options_.transports.end();
}

void RealtimeCore::log(std::string_view line) const {
    std::string text = "realtime: ";
    text += line;
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void RealtimeCore::connected(const std::string& sid, const std::string& endpoint) const {
    if (!onConnect || stopping) return;
    try {
        onConnect(sid, endpoint);
    } catch (const std::exception& e) {
        log("onConnect failed: " + std::string(e.what()));
    } catch (...) {
        log("onConnect failed");
    }
}

void RealtimeCore::left(const std::string& sid, const std::string& endpoint) const {
    if (!onLeave || stopping) return;
    try {
        onLeave(sid, endpoint);
    } catch (const std::exception& e) {
        log("onLeave failed: " + std::string(e.what()));
    } catch (...) {
        log("onLeave failed");
    }
}

bool RealtimeCore::event(const std::string& sid, const std::string& endpoint, const std::string& name,
                         const nlohmann::json& args) const {
    if (!onEvent || stopping) return false;
    try {
        return onEvent(sid, endpoint, name, args);
    } catch (const std::exception& e) {
        log("onEvent failed: " + std::string(e.what()));
        return false;
    } catch (...) {
        log("onEvent failed");
        return false;
    }
}

void RealtimeCore::acknowledged(const std::function<void(const nlohmann::json&)>& onAck,
                                const nlohmann::json& args) const {
    if (!onAck || stopping) return;
    try {
        onAck(args);
    } catch (const std::exception& e) {
        log("an ack callback failed: " + std::string(e.what()));
    } catch (...) {
        log("an ack callback failed");
    }
}

std::shared_ptr<RealtimeSession> RealtimeCore::createSession() {
    if (sessions_.size() >= options_.maxSessions) return nullptr;
    std::string sid = randomSid();
    while (sessions_.count(sid) != 0) sid = randomSid();
    auto session = std::make_shared<RealtimeSession>(*this, sid);
    sessions_.emplace(sid, session);
    {
        std::lock_guard lock(mutex_);
        live_.insert(sid);
        received_[sid].clear();
    }
    ++handshakes_;
    return session;
}

std::shared_ptr<RealtimeSession> RealtimeCore::find(const std::string& sid) const {
    const auto found = sessions_.find(sid);
    return found == sessions_.end() ? nullptr : found->second;
}

void RealtimeCore::sessionEnded(const std::string& sid) {
    if (sessions_.erase(sid) == 0) return;
    {
        std::lock_guard lock(mutex_);
        live_.erase(sid);
        endedOrder_.push_back(sid);
        if (endedOrder_.size() > kEndedSessionsKept) {
            received_.erase(endedOrder_.front());
            endedOrder_.pop_front();
        }
    }
    if (!onSessionEnd || stopping) return;
    try {
        onSessionEnd(sid);
    } catch (const std::exception& e) {
        log("onSessionEnd failed: " + std::string(e.what()));
    } catch (...) {
        log("onSessionEnd failed");
    }
}

bool RealtimeCore::recentlyEnded(const std::string& sid) const {
    std::lock_guard lock(mutex_);
    return std::find(endedOrder_.begin(), endedOrder_.end(), sid) != endedOrder_.end();
}

std::vector<std::shared_ptr<RealtimeSession>> RealtimeCore::allSessions() const {
    std::vector<std::shared_ptr<RealtimeSession>> all;
    all.reserve(sessions_.size());
    for (const auto& [sid, session] : sessions_) all.push_back(session);
    return all;
}

std::size_t RealtimeCore::maxConnections() const {
    // A polling session may hold a GET while it posts; a few more for handshakes.
    return options_.maxSessions * 2 + 16;
}

void RealtimeCore::record(const std::string& sid, std::string_view packet) {
    std::lock_guard lock(mutex_);
    const auto found = received_.find(sid);
    if (found == received_.end()) return;
    auto& packets = found->second;
    packets.emplace_back(packet.substr(0, kReceivedTextLimit));
    if (packets.size() > kReceivedPerSession) packets.pop_front();
}

bool RealtimeCore::live(const std::string& sid) const {
    std::lock_guard lock(mutex_);
    return live_.count(sid) != 0;
}

std::vector<std::string> RealtimeCore::liveSessionIds() const {
    std::vector<std::string> ids;
    {
        std::lock_guard lock(mutex_);
        ids.assign(live_.begin(), live_.end());
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<std::string> RealtimeCore::received(const std::string& sid) const {
    std::lock_guard lock(mutex_);
    const auto found = received_.find(sid);
    if (found == received_.end()) return {};
    return {found->second.begin(), found->second.end()};
}

}  // namespace vorn::emulator::realtime
