#pragma once

#include "vorn/core/VornError.h"
#include "vorn/realtime/SocketIOPacket.h"

#include <memory>

namespace vorn {

class SocketIO;

/// The listener of a realtime session. Every operation is optional (the
/// default does nothing) and is called on the main loop.
class SocketIODelegate {
public:
    virtual ~SocketIODelegate() = default;

    /// The session, and its namespace when it has one, is connected.
    virtual void socketIODidConnect(const std::shared_ptr<SocketIO>& socket);
    /// The session ended after having been connected or connecting; the
    /// error, or none for an end that the application asked for.
    virtual void socketIODidDisconnect(const std::shared_ptr<SocketIO>& socket, const OptionalError& error);
    /// A "message" packet with data arrived.
    virtual void socketIODidReceiveMessage(const std::shared_ptr<SocketIO>& socket, const SocketIOPacket& packet);
    /// A "json" packet with data arrived.
    virtual void socketIODidReceiveJSON(const std::shared_ptr<SocketIO>& socket, const SocketIOPacket& packet);
    /// An "event" packet with data arrived; its `name` and `args` are filled in.
    virtual void socketIODidReceiveEvent(const std::shared_ptr<SocketIO>& socket, const SocketIOPacket& packet);
    /// A packet was handed to the transport.
    virtual void socketIODidSendMessage(const std::shared_ptr<SocketIO>& socket, const SocketIOPacket& packet);
    /// The session or its transport reports an error.
    virtual void socketIO(const std::shared_ptr<SocketIO>& socket, const VornError& error);
};

}  // namespace vorn
