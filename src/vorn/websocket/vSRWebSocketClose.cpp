// The closing handshake and the teardown: local closes, the peer's close
// frame, failures and protocol errors.

#include "vorn/websocket/vSRWebSocket.h"
#include "vorn/websocket/vSRWebSocketInternal.h"

#include <boost/asio/post.hpp>

#include <cstring>
#include <stdexcept>

namespace vorn {

namespace asio = boost::asio;
using namespace srwebsocket;

namespace {

constexpr std::size_t kMaxCloseReasonBytes = 123;

bool isValidCloseCode(std::int32_t code) {
    if (code >= 1000 && code <= 1011) return code != 1004 && code != 1005 && code != 1006;
    return code >= 3000 && code <= 4999;
}

}  // namespace

void vSRWebSocket::close() {
    closeWithCode(SRStatusCodeNormal, std::nullopt);
}

void vSRWebSocket::closeWithCode(std::int64_t code, std::optional<std::string> reason) {
    if (code == 0) throw std::invalid_argument("vSRWebSocket: the close code cannot be 0");
    // A control frame carries at most 125 bytes: the code's two and the reason's.
    if (reason && reason->size() > kMaxCloseReasonBytes) {
        throw std::invalid_argument("vSRWebSocket: a close reason holds at most 123 bytes");
    }
    if (reason && !isValidUTF8(reinterpret_cast<const std::uint8_t*>(reason->data()), reason->size())) {
        throw std::invalid_argument("vSRWebSocket: a close reason must be UTF-8");
    }
    // Through the send queue, so that it follows every message sent before it.
    PendingSend send;
    send.closeCode = code;
    send.closeReason = std::move(reason);
    queueSend(std::move(send));
}

void vSRWebSocket::_closeWithCodeOnWorkQueue(std::int64_t code, const std::optional<std::string>& reason) {
    assertOnWorkQueue();
    const SRReadyState state = readyState();
    if (state == SRReadyState::CLOSING || state == SRReadyState::CLOSED) return;
    const bool wasConnecting = state == SRReadyState::CONNECTING;
    _setReadyState(SRReadyState::CLOSING);
    if (wasConnecting) {
        _disconnect();
        return;
    }
    // The code as 16 bits, big-endian, then the reason's UTF-8 bytes.
    std::vector<std::uint8_t> payload(2 + (reason ? reason->size() : 0));
    const auto code16 = static_cast<std::uint16_t>(code);
    payload[0] = static_cast<std::uint8_t>(code16 >> 8);
    payload[1] = static_cast<std::uint8_t>(code16 & 0xFF);
    if (reason && !reason->empty()) std::memcpy(payload.data() + 2, reason->data(), reason->size());
    _sendFrameWithOpcode(8, payload);
}

void vSRWebSocket::handleCloseWithData(std::span<const std::uint8_t> data) {
    assertOnWorkQueue();
    // A close frame with a protocol error is answered by the protocol-error
    // close alone (1002, then the teardown); answering it with 1000 as well
    // would race that close to the wire.
    if (data.size() == 1) {
        _closeWithProtocolError("Payload for close must be larger than 2 bytes");
        return;
    }
    if (data.size() >= 2) {
        closeCode_ = static_cast<std::int32_t>((data[0] << 8) | data[1]);
        if (!isValidCloseCode(closeCode_)) {
            _closeWithProtocolError("Cannot have close code of " + std::to_string(closeCode_));
            return;
        }
        if (data.size() > 2) {
            if (!isValidUTF8(data.data() + 2, data.size() - 2)) {
                _closeWithProtocolError("Close reason MUST be valid UTF-8");
                return;
            }
            closeReason_ = std::string(reinterpret_cast<const char*>(data.data() + 2), data.size() - 2);
        }
    } else {
        closeCode_ = SRStatusCodeNoStatusReceived;
    }
    if (readyState() == SRReadyState::OPEN) closeWithCode(SRStatusCodeNormal, std::nullopt);
    auto self = shared_from_this();
    asio::post(workQueue_, [self] { self->_disconnect(); });
}

void vSRWebSocket::_failWithError(VornError error) {
    auto self = shared_from_this();
    asio::post(workQueue_, [self, error = std::move(error)] {
        if (self->readyState() == SRReadyState::CLOSED) return;
        self->failed_ = true;
        self->_performDelegateBlock([self, error] {
            if (auto delegate = self->delegate()) delegate->webSocket(self, error);
        });
        self->_setReadyState(SRReadyState::CLOSED);
        self->selfRetain_.reset();
        self->_disconnect();
    });
}

void vSRWebSocket::_failWithMessageTooBig() {
    assertOnWorkQueue();
    const std::size_t limit = maximumMessageSize();
    // The close frame goes out first; the failure then ends the socket
    // without a clean close being reported.
    _closeWithCodeOnWorkQueue(SRStatusCodeMessageTooBig, std::string("Message too big"));
    _failWithError(makeError(kSRWebSocketErrorDomain, kSRErrorMessageTooBig,
                             "Message too big: more than " + std::to_string(limit) + " bytes"));
}

void vSRWebSocket::_closeWithProtocolError(std::string message) {
    auto self = shared_from_this();
    _performDelegateBlock([self, message = std::move(message)] {
        self->closeWithCode(SRStatusCodeProtocolError, message);
        asio::post(self->workQueue_, [self] { self->_disconnect(); });
    });
}

void vSRWebSocket::_disconnect() {
    assertOnWorkQueue();
    closeWhenFinishedWriting_ = true;
    _pumpWriting();
}

}  // namespace vorn
