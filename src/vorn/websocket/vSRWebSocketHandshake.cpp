// The opening handshake: the connection, the upgrade request and the
// checks of the server's response.

#include "vorn/websocket/vSRWebSocket.h"
#include "vorn/websocket/vSRWebSocketInternal.h"

#include "vorn/core/SecureRandom.h"
#include "vorn/core/vBase64.h"
#include "vorn/websocket/SRRunLoopThread.h"

#include <boost/asio/post.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include <strings.h>
#include <algorithm>
#include <stdexcept>

namespace vorn {

namespace asio = boost::asio;
using namespace srwebsocket;

namespace {

constexpr const char* kAcceptGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr std::uint8_t kHeaderEnd[4] = {'\r', '\n', '\r', '\n'};

bool sameFieldName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

void vSRWebSocket::open() {
    if (opened_.exchange(true)) throw std::logic_error("vSRWebSocket: open may be called only once");
    auto self = shared_from_this();
    asio::post(workQueue_, [self] {
        // Closed before it was opened: no connection is made.
        if (self->readyState() != SRReadyState::CONNECTING) return;
        self->selfRetain_ = self;
        self->_connect();
    });
}

void vSRWebSocket::_connect() {
    assertOnWorkQueue();
    asio::io_context* runLoop = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (scheduledRunloops_.empty()) {
            runLoop = &SR_networkRunLoop();
            scheduledRunloops_.emplace_back(runLoop, kSRDefaultRunLoopMode);
        } else {
            runLoop = scheduledRunloops_.front().first;
        }
    }
    streams_->open(*runLoop);
}

void vSRWebSocket::didConnect() {
    assertOnWorkQueue();
    SRURLRequest::HeaderFields fields;
    auto setField = [&fields](const std::string& name, std::string value) {
        auto it = std::find_if(fields.begin(), fields.end(),
                               [&](const auto& field) { return sameFieldName(field.first, name); });
        if (it != fields.end()) {
            *it = {name, std::move(value)};
        } else {
            fields.emplace_back(name, std::move(value));
        }
    };

    setField("Host", url_.port() ? url_.hostForHeader() + ":" + std::to_string(*url_.port()) : url_.hostForHeader());

    std::uint8_t keyBytes[16];
    secureRandomBytes(keyBytes, sizeof keyBytes);
    secKey_ = vBase64::stringByEncodingBytes(keyBytes, sizeof keyBytes).value_or(std::string());
    if (secKey_.size() != 24) throw std::logic_error("vSRWebSocket: the handshake key is not 24 characters");

    setField("Upgrade", "websocket");
    setField("Connection", "Upgrade");
    setField("Sec-WebSocket-Key", secKey_);
    setField("Sec-WebSocket-Version", std::to_string(webSocketVersion_));
    setField("Origin", SR_origin(url_));
    if (requestedProtocols_) {
        std::string joined;
        for (const auto& protocol : *requestedProtocols_) {
            if (!joined.empty()) joined += ", ";
            joined += protocol;
        }
        setField("Sec-WebSocket-Protocol", joined);
    }
    for (const auto& [name, value] : urlRequest_.allHTTPHeaderFields()) setField(name, value);

    std::string message = "GET " + url_.requestTarget() + " HTTP/1.1\r\n";
    for (const auto& [name, value] : fields) {
        message += name;
        message += ": ";
        message += value;
        message += "\r\n";
    }
    message += "\r\n";

    _writeData(bytesOf(message));
    _readHTTPHeader();
}

void vSRWebSocket::_readHTTPHeader() {
    _readUntilHeaderCompleteWithCallback([](vSRWebSocket& socket, std::optional<std::span<const std::uint8_t>> data) {
        socket.receivedHTTPHeaders_.append(reinterpret_cast<const char*>(data->data()), data->size());
        if (socket.receivedHTTPHeaders_.size() > kMaxHandshakeHeaderBytes) {
            socket._failWithError(
                makeError(kSRWebSocketErrorDomain, kSRErrorHandshakeInvalid, "Handshake response header too large"));
            return;
        }
        switch (socket._headerIsComplete()) {
            case HeaderState::Complete:
                socket.HTTPHeadersDidFinish();
                break;
            case HeaderState::Incomplete:
                socket._readHTTPHeader();
                break;
            case HeaderState::Invalid:
                socket._failWithError(
                    makeError(kSRWebSocketErrorDomain, kSRErrorHandshakeInvalid, "Invalid handshake response header"));
                break;
        }
    });
}

void vSRWebSocket::_readUntilHeaderCompleteWithCallback(SRIOConsumer::Handler callback) {
    _addConsumerWithScanner(&vSRWebSocket::scanForHeaderEnd, std::move(callback));
}

std::size_t vSRWebSocket::scanForHeaderEnd(std::span<const std::uint8_t> bytes) {
    // A mismatching byte starts the count again at zero; it does not begin a
    // new match itself.
    std::size_t matched = 0;
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        if (bytes[index] == kHeaderEnd[matched]) {
            if (++matched == sizeof kHeaderEnd) return index + 1;
        } else {
            matched = 0;
        }
    }
    return 0;
}

vSRWebSocket::HeaderState vSRWebSocket::_headerIsComplete() {
    namespace http = boost::beast::http;
    http::response_parser<http::empty_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(kMaxHandshakeHeaderBytes));
    parser.skip(true);  // the upgrade response's body, if any, is frames
    boost::beast::error_code error;
    parser.put(asio::buffer(receivedHTTPHeaders_), error);
    if (error && error != http::error::need_more) return HeaderState::Invalid;
    if (!parser.is_header_done()) return HeaderState::Incomplete;
    const auto& response = parser.get();
    responseStatus_ = static_cast<int>(response.result_int());
    auto field = [&response](const char* name) -> std::optional<std::string> {
        auto it = response.find(name);
        if (it == response.end()) return std::nullopt;
        return std::string(it->value());
    };
    responseAccept_ = field("Sec-WebSocket-Accept");
    responseProtocol_ = field("Sec-WebSocket-Protocol");
    return HeaderState::Complete;
}

bool vSRWebSocket::_checkHandshake() const {
    return responseAccept_ && *responseAccept_ == stringBySHA1ThenBase64Encoding(secKey_ + kAcceptGUID);
}

void vSRWebSocket::HTTPHeadersDidFinish() {
    assertOnWorkQueue();
    if (responseStatus_ >= 400) {
        _failWithError(makeError(kVornErrorDomain, kSRErrorBadResponseCode,
                                 "received bad response code from server " + std::to_string(responseStatus_)));
        return;
    }
    if (!_checkHandshake()) {
        _failWithError(
            makeError(kSRWebSocketErrorDomain, kSRErrorHandshakeInvalid, "Invalid Sec-WebSocket-Accept response"));
        return;
    }
    if (responseProtocol_) {
        if (requestedProtocols_ && std::find(requestedProtocols_->begin(), requestedProtocols_->end(),
                                             *responseProtocol_) == requestedProtocols_->end()) {
            _failWithError(makeError(kSRWebSocketErrorDomain, kSRErrorHandshakeInvalid,
                                     "Server specified Sec-WebSocket-Protocol that wasn't requested"));
            return;
        }
        std::lock_guard lock(mutex_);
        protocol_ = responseProtocol_;
    }
    _setReadyState(SRReadyState::OPEN);
    _readFrameNew();
    auto self = shared_from_this();
    _performDelegateBlock([self] {
        if (auto delegate = self->delegate()) delegate->webSocketDidOpen(self);
    });
}

}  // namespace vorn
