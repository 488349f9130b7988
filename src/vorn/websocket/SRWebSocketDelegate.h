#pragma once

#include "vorn/core/VornError.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vorn {

class vSRWebSocket;

/// A binary message's bytes.
using SRData = std::vector<std::uint8_t>;
/// A WebSocket message: text (UTF-8) or binary.
using SRMessage = std::variant<std::string, SRData>;

/// The listener of a `vSRWebSocket`. Every call is made on the socket's
/// delegate queue (the library's main loop unless changed), with the socket
/// as first argument, in the order in which the socket produced the events.
///
/// Receiving a message is the one required operation. The others are
/// optional: their default bodies do nothing, so a listener implements only
/// the ones it wants, and an operation that is not implemented is simply
/// not called. No behaviour of the socket depends on which operations a
/// listener implements.
///
/// The operations share the name `webSocket` and differ by their
/// parameters; a listener that overrides some of them should bring the rest
/// into scope with `using SRWebSocketDelegate::webSocket;`.
class SRWebSocketDelegate {
public:
    virtual ~SRWebSocketDelegate();

    /// A complete message arrived: a string for text, bytes for binary.
    virtual void webSocket(const std::shared_ptr<vSRWebSocket>& webSocket, SRMessage message) = 0;

    /// The opening handshake was accepted.
    virtual void webSocketDidOpen(const std::shared_ptr<vSRWebSocket>& webSocket);

    /// The connection failed; no close report follows.
    virtual void webSocket(const std::shared_ptr<vSRWebSocket>& webSocket, const VornError& error);

    /// The connection ended: the peer's close code and reason with `wasClean`
    /// true, or code 0 and "Stream end encountered" when the stream ended
    /// without the close handshake finishing here.
    virtual void webSocket(const std::shared_ptr<vSRWebSocket>& webSocket, std::int32_t code,
                           const std::optional<std::string>& reason, bool wasClean);
};

}  // namespace vorn
