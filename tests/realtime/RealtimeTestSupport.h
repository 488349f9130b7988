#pragma once

#include "support/TestLoop.h"
#include "vorn/realtime/SocketIO.h"

#include <memory>
#include <string>
#include <vector>

namespace vorn::test {

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

}  // namespace vorn::test
