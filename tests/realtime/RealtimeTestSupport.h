#pragma once

#include "support/ScriptedHttpServer.h"
#include "support/TestLoop.h"
#include "vorn/realtime/SocketIO.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vorn::test {

/// A polling peer: the handshake, a first GET answered "1::", later GETs
/// held until `release`, POSTs answered by `postReply`.
class PollingPeer {
public:
    explicit PollingPeer(std::function<ScriptedAction(const RecordedRequest&)> postReply,
                         std::string handshake = "p1:25:60:xhr-polling")
        : postReply_(std::move(postReply)),
          handshake_(std::move(handshake)),
          server_([this](const RecordedRequest& r) { return answer(r); }) {}
    ~PollingPeer() { release("8::"); }

    ScriptedAction answer(const RecordedRequest& request) {
        if (request.target.starts_with("/socket.io/1/?")) return ScriptedAction::reply(handshake_);
        if (request.method == "POST") return postReply_(request);
        std::unique_lock lock(mutex_);
        ++gets_;
        if (gets_ == 1) return ScriptedAction::reply("1::");
        changed_.wait(lock, [&] { return !pending_.empty(); });
        std::string body = std::move(pending_.front());
        pending_.erase(pending_.begin());
        return ScriptedAction::reply(body);
    }
    void release(std::string body) {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(body));
        changed_.notify_all();
    }
    int gets() {
        std::lock_guard lock(mutex_);
        return gets_;
    }
    ScriptedHttpServer& server() { return server_; }
    std::vector<RecordedRequest> posts() const {
        std::vector<RecordedRequest> result;
        for (const auto& r : server_.requests()) {
            if (r.method == "POST") result.push_back(r);
        }
        return result;
    }

private:
    std::function<ScriptedAction(const RecordedRequest&)> postReply_;
    std::string handshake_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> pending_;
    int gets_ = 0;
    ScriptedHttpServer server_;
};

/// Records every listener call of a realtime session.
class SocketIORecorder : public SocketIODelegate {
public:
    void socketIODidConnect(const std::shared_ptr<SocketIO>&) override { ++connects; }
    void socketIODidDisconnect(const std::shared_ptr<SocketIO>&, const OptionalError& error) override {
        ++disconnects;
        disconnectError = error;
    }
    void socketIODidReceiveMessage(const std::shared_ptr<SocketIO>&, const SocketIOPacket& packet) override {
        messages.push_back(packet);
    }
    void socketIODidReceiveJSON(const std::shared_ptr<SocketIO>&, const SocketIOPacket& packet) override {
        jsons.push_back(packet);
    }
    void socketIODidReceiveEvent(const std::shared_ptr<SocketIO>&, const SocketIOPacket& packet) override {
        events.push_back(packet);
    }
    void socketIODidSendMessage(const std::shared_ptr<SocketIO>&, const SocketIOPacket& packet) override {
        sent.push_back(packet);
    }
    void socketIO(const std::shared_ptr<SocketIO>&, const VornError& error) override { errors.push_back(error); }

    int connects = 0;
    int disconnects = 0;
    OptionalError disconnectError;
    std::vector<SocketIOPacket> messages, jsons, events, sent;
    std::vector<VornError> errors;
};

/// A session with a recorder as its listener.
struct Session {
    std::shared_ptr<SocketIORecorder> recorder = std::make_shared<SocketIORecorder>();
    std::shared_ptr<SocketIO> socket = SocketIO::initWithDelegate(recorder);
};

}  // namespace vorn::test
