#include "vorn/websocket/vSRWebSocket.h"

#include "vorn/core/HttpText.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/SecureRandom.h"
#include "vorn/core/vBase64.h"
#include "vorn/websocket/SRRunLoopThread.h"

#include <boost/asio/post.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include <openssl/evp.h>
#include <unicode/utf8.h>

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace vorn {

namespace asio = boost::asio;

namespace {

constexpr const char* kAcceptGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr std::uint8_t kHeaderEnd[4] = {'\r', '\n', '\r', '\n'};
constexpr std::size_t kCompactionThreshold = 4096;
constexpr std::size_t kMaxCloseReasonBytes = 123;
// Buffers that grew beyond this for one large message are given back afterwards.
constexpr std::size_t kKeptBufferCapacity = std::size_t{64} * 1024;
// A batch of received messages goes to the delegate queue once it holds this
// many messages or bytes, even while more of the same read are being parsed.
constexpr std::size_t kMaxBatchMessages = 64;
constexpr std::size_t kMaxBatchBytes = std::size_t{64} * 1024;

using httptext::hasLineBreakOrNul;
using httptext::isToken;

/// Text that goes into the request line or the Host field as it is: no
/// controls, no spaces.
bool isLineSafe(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F;
    });
}

/// Refuses, before anything is sent, what would put lines of its own into
/// the opening handshake.
void checkHandshakeInputs(const SRURL& url, const SRURLRequest& request,
                          const std::optional<std::vector<std::string>>& protocols) {
    if (!isLineSafe(url.requestTarget())) {
        throw std::invalid_argument("vSRWebSocket: the URL's path or query holds spaces or control characters");
    }
    if (!isLineSafe(url.hostForHeader())) throw std::invalid_argument("vSRWebSocket: the URL's host is not usable");
    for (const auto& [name, value] : request.allHTTPHeaderFields()) {
        if (!isToken(name)) throw std::invalid_argument("vSRWebSocket: header name is not an HTTP token: " + name);
        if (hasLineBreakOrNul(value))
            throw std::invalid_argument("vSRWebSocket: header value holds CR, LF or NUL: " + name);
    }
    if (protocols) {
        for (const auto& protocol : *protocols) {
            if (!isToken(protocol)) throw std::invalid_argument("vSRWebSocket: subprotocol is not an HTTP token");
        }
    }
}
// The most that one frame header makes the message buffer reserve ahead.
constexpr std::uint64_t kMaxReserveAhead = 16u << 20;

VornError makeError(std::string domain, int code, std::string message) {
    VornError error;
    error.domain = std::move(domain);
    error.code = code;
    error.userInfo["error"] = std::move(message);
    return error;
}

std::string lowercase(std::string text) {
    for (auto& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

bool sameFieldName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isControlOpcode(std::uint8_t opcode) {
    return opcode == 8 || opcode == 9 || opcode == 10;
}

bool isValidCloseCode(std::int32_t code) {
    if (code >= 1000 && code <= 1011) return code != 1004 && code != 1005 && code != 1006;
    return code >= 3000 && code <= 4999;
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::span<const std::uint8_t> bytesOf(const SRData& data) {
    return data;
}

/// XORs `length` bytes with the 4-byte key, starting at key index 0.
void maskBytes(std::uint8_t* out, const std::uint8_t* in, std::size_t length, const std::uint8_t key[4]) {
    std::uint32_t key32;
    std::memcpy(&key32, key, 4);
    const std::uint64_t key64 = (static_cast<std::uint64_t>(key32) << 32) | key32;
    std::size_t index = 0;
    for (; index + 8 <= length; index += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + index, 8);
        word ^= key64;
        std::memcpy(out + index, &word, 8);
    }
    for (; index < length; ++index) out[index] = in[index] ^ key[index % 4];
}

SRURL requireURL(const SRURLRequest& request) {
    if (!request.URL()) throw std::invalid_argument("vSRWebSocket: the request has no URL");
    return *request.URL();
}

}  // namespace

// Construction.

std::shared_ptr<vSRWebSocket> vSRWebSocket::initWithURLRequest(const SRURLRequest& request, Protocols protocols) {
    auto socket = std::make_shared<vSRWebSocket>(PrivateTag{}, request, std::move(protocols));
    // The streams reach the socket through a weak reference to its (private)
    // stream-delegate side.
    socket->streams_->setDelegate(
        std::shared_ptr<SRStreamDelegate>(socket, static_cast<SRStreamDelegate*>(socket.get())));
    return socket;
}

std::shared_ptr<vSRWebSocket> vSRWebSocket::initWithURLRequest(const SRURLRequest& request) {
    return initWithURLRequest(request, std::nullopt);
}

std::shared_ptr<vSRWebSocket> vSRWebSocket::initWithURL(const SRURL& url, Protocols protocols) {
    return initWithURLRequest(SRURLRequest::requestWithURL(url), std::move(protocols));
}

std::shared_ptr<vSRWebSocket> vSRWebSocket::initWithURL(const SRURL& url) {
    return initWithURL(url, std::nullopt);
}

std::shared_ptr<vSRWebSocket> vSRWebSocket::initWithURL(const std::string& url, Protocols protocols) {
    auto parsed = SRURL::URLWithString(url);
    if (!parsed) throw std::invalid_argument("vSRWebSocket: not a URL: " + url);
    return initWithURL(*parsed, std::move(protocols));
}

std::shared_ptr<vSRWebSocket> vSRWebSocket::initWithURL(const std::string& url) {
    return initWithURL(url, std::nullopt);
}

vSRWebSocket::vSRWebSocket(PrivateTag, const SRURLRequest& request, Protocols protocols)
    : url_(requireURL(request)),
      urlRequest_(request),
      // An empty list asks for no subprotocol, like no list.
      requestedProtocols_(protocols && !protocols->empty() ? std::move(protocols) : std::nullopt),
      workQueue_(asio::make_strand(SR_networkRunLoop())) {
    const std::string scheme = lowercase(url_.scheme());
    if (scheme != "ws" && scheme != "http" && scheme != "wss" && scheme != "https") {
        throw std::invalid_argument("vSRWebSocket: unsupported URL scheme: " + url_.scheme());
    }
    secure_ = scheme == "wss" || scheme == "https";
    checkHandshakeInputs(url_, urlRequest_, requestedProtocols_);
    delegateDispatchQueue_ = MainLoop::shared().context().get_executor();

    port_ = url_.port() && *url_.port() != 0 ? *url_.port() : (secure_ ? 443 : 80);
    streams_ = std::make_shared<SRStreamPair>(workQueue_, url_.host(), port_);
    if (secure_) {
        // At least one pinned certificate replaces the validation of the chain.
        const auto& pins = urlRequest_.SR_SSLPinnedCertificates();
        streams_->setSecure(!(pins && !pins->empty()));
    }
}

vSRWebSocket::~vSRWebSocket() {
    // The streams no longer reach this socket (their delegate reference is
    // weak); close them on the work queue, where they live.
    asio::post(workQueue_, [streams = streams_] { streams->close(); });
}

// Listener, queues and properties.

std::shared_ptr<SRWebSocketDelegate> vSRWebSocket::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void vSRWebSocket::setDelegate(std::weak_ptr<SRWebSocketDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

void vSRWebSocket::setDelegateOperationQueue(SROperationQueue queue) {
    std::lock_guard lock(mutex_);
    delegateOperationQueue_ = std::move(queue);
}

void vSRWebSocket::setDelegateDispatchQueue(asio::any_io_executor queue) {
    std::lock_guard lock(mutex_);
    if (!queue) {
        // While an operation queue is set the dispatch queue is not used: nothing to refuse.
        if (delegateOperationQueue_) return;
        throw std::invalid_argument("vSRWebSocket: the delegate dispatch queue cannot be empty");
    }
    delegateDispatchQueue_ = std::move(queue);
}

std::optional<std::string> vSRWebSocket::protocol() const {
    std::lock_guard lock(mutex_);
    return protocol_;
}

std::uint64_t vSRWebSocket::addReadyStateObserver(ReadyStateObserver observer) {
    std::lock_guard lock(mutex_);
    const auto token = nextObserverToken_++;
    observers_.emplace_back(token, std::move(observer));
    return token;
}

void vSRWebSocket::setMaximumMessageSize(std::size_t bytes) {
    maximumMessageSize_.store(bytes == 0 ? kSRDefaultMaximumMessageSize : bytes, std::memory_order_relaxed);
}

void vSRWebSocket::removeReadyStateObserver(std::uint64_t token) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void vSRWebSocket::scheduleInRunLoop(asio::io_context& runLoop, const std::string& mode) {
    std::lock_guard lock(mutex_);
    const auto entry = std::make_pair(&runLoop, mode);
    if (std::find(scheduledRunloops_.begin(), scheduledRunloops_.end(), entry) == scheduledRunloops_.end()) {
        scheduledRunloops_.push_back(entry);
    }
}

void vSRWebSocket::unscheduleFromRunLoop(asio::io_context& runLoop, const std::string& mode) {
    std::lock_guard lock(mutex_);
    std::erase(scheduledRunloops_, std::make_pair(&runLoop, mode));
}

void vSRWebSocket::assertOnWorkQueue() const {
    if (!workQueue_.running_in_this_thread()) throw std::logic_error("vSRWebSocket: called off its work queue");
}

void vSRWebSocket::_setReadyState(SRReadyState readyState) {
    assertOnWorkQueue();
    const SRReadyState old = this->readyState();
    if (!(readyState > old)) throw std::logic_error("aReadyState > _readyState");
    std::vector<ReadyStateObserver> observers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : observers_) observers.push_back(entry.second);
    }
    for (const auto& observer : observers) observer(*this, old, readyState, true);
    readyState_.store(readyState, std::memory_order_release);
    for (const auto& observer : observers) observer(*this, old, readyState, false);
}

std::pair<SROperationQueue, asio::any_io_executor> vSRWebSocket::delegateQueue() const {
    std::lock_guard lock(mutex_);
    if (delegateOperationQueue_) return {delegateOperationQueue_, {}};
    return {{}, delegateDispatchQueue_};
}

template <typename Block>
void vSRWebSocket::_performDelegateBlock(Block&& block) {
    // Messages received before this call reach the delegate before it.
    flushMessages();
    auto [operationQueue, dispatchQueue] = delegateQueue();
    if (operationQueue) {
        operationQueue(std::function<void()>(std::forward<Block>(block)));
    } else {
        asio::post(dispatchQueue, std::forward<Block>(block));
    }
}

void vSRWebSocket::_deliverMessage(SRMessage message) {
    assertOnWorkQueue();
    pendingMessageBytes_ += std::visit([](const auto& value) { return value.size(); }, message);
    pendingMessages_.push_back(std::move(message));
    if (pendingMessages_.size() >= kMaxBatchMessages || pendingMessageBytes_ >= kMaxBatchBytes) flushMessages();
}

void vSRWebSocket::flushMessagesAfterReading() {
    // While frame reads are queued, the bytes at hand may hold more messages
    // for the same batch; the last of those reads hands the batch over.
    if (queuedReads_ > 0 || pendingMessages_.empty()) return;
    // Bytes that arrived meanwhile may complete more messages for it too.
    if (readyState() == SRReadyState::OPEN) {
        readFromStream();
        _pumpScanner();
        if (queuedReads_ > 0) return;
    }
    flushMessages();
}

void vSRWebSocket::flushMessages() {
    assertOnWorkQueue();
    if (pendingMessages_.empty()) return;
    std::vector<SRMessage> batch;
    batch.swap(pendingMessages_);
    pendingMessageBytes_ = 0;
    auto [operationQueue, dispatchQueue] = delegateQueue();
    auto self = shared_from_this();
    if (operationQueue) {
        // An operation queue sees one operation per listener call.
        for (auto& message : batch) {
            operationQueue([self, message = std::move(message)]() mutable {
                if (auto delegate = self->delegate()) delegate->webSocket(self, std::move(message));
            });
        }
        return;
    }
    asio::post(dispatchQueue, [self, batch = std::move(batch)]() mutable {
        for (auto& message : batch) {
            if (auto delegate = self->delegate()) delegate->webSocket(self, std::move(message));
        }
    });
}

// Opening and closing.

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

// Stream events.

void vSRWebSocket::stream(SRStreamKind stream, SRStreamEvent event) {
    // Nothing a peer sends may end the process: whatever escapes the
    // handling fails this socket alone.
    try {
        if (secure_ && !pinnedCertFound_ &&
            (event == SRStreamEvent::HasBytesAvailable || event == SRStreamEvent::HasSpaceAvailable)) {
            if (!passesPinTest()) return;
        }
        handleStreamEvent(stream, event);
        flushMessagesAfterReading();
    } catch (const std::exception& failure) {
        streams_->close();
        _failWithError(makeError(kVornErrorDomain, kVornErrorUnknown, failure.what()));
    }
}

bool vSRWebSocket::passesPinTest() {
    const auto& pins = urlRequest_.SR_SSLPinnedCertificates();
    if (!pins) return true;
    for (const auto& certificate : streams_->peerCertificateChain()) {
        if (std::find(pins->begin(), pins->end(), certificate) != pins->end()) {
            pinnedCertFound_ = true;
            break;
        }
    }
    if (pinnedCertFound_) return true;
    // Nothing, not even the handshake request, goes to a peer that failed the test.
    streams_->close();
    _failWithError(makeError(kVornErrorDomain, kSRErrorInvalidServerCert, "Invalid server cert"));
    return false;
}

void vSRWebSocket::handleStreamEvent(SRStreamKind stream, SRStreamEvent event) {
    assertOnWorkQueue();
    switch (event) {
        case SRStreamEvent::OpenCompleted: {
            const SRReadyState state = readyState();
            if (state == SRReadyState::CLOSING || state == SRReadyState::CLOSED) return;
            if (state == SRReadyState::CONNECTING && stream == SRStreamKind::Input) didConnect();
            _pumpWriting();
            _pumpScanner();
            break;
        }
        case SRStreamEvent::HasBytesAvailable:
            readFromStream();
            _pumpScanner();
            // A handshake response that never ends its header is refused once it is too large.
            if (readyState() == SRReadyState::CONNECTING &&
                receivedHTTPHeaders_.size() + (readBuffer_.size() - readBufferOffset_) > kMaxHandshakeHeaderBytes) {
                _failWithError(makeError(kSRWebSocketErrorDomain, kSRErrorHandshakeInvalid,
                                         "Handshake response header too large"));
                readBuffer_.clear();
                readBufferOffset_ = 0;
            }
            break;
        case SRStreamEvent::ErrorOccurred:
            // A failed write is reported alike over TCP and TLS.
            _failWithError(streams_->writeFailed()
                               ? makeError(kVornErrorDomain, kSRErrorWritingToStream, "Error writing to stream")
                               : streams_->streamError().value_or(makeError(kVornErrorDomain, kVornErrorUnknown, "")));
            readBuffer_.clear();
            readBufferOffset_ = 0;
            break;
        case SRStreamEvent::EndEncountered: {
            _pumpScanner();
            if (auto error = streams_->streamError()) {
                _failWithError(*error);
                break;
            }
            if (readyState() != SRReadyState::CLOSED) _setReadyState(SRReadyState::CLOSED);
            // The end closes the connection too, not only the socket's destruction.
            closeWhenFinishedWriting_ = true;
            streams_->close();
            selfRetain_.reset();
            if (!sentClose_ && !failed_) {
                sentClose_ = true;
                auto self = shared_from_this();
                _performDelegateBlock([self] {
                    if (auto delegate = self->delegate()) {
                        delegate->webSocket(self, 0, std::string("Stream end encountered"), false);
                    }
                });
            }
            break;
        }
        case SRStreamEvent::HasSpaceAvailable:
            _pumpWriting();
            break;
    }
}

void vSRWebSocket::readFromStream() {
    while (streams_->hasBytesAvailable()) {
        const std::ptrdiff_t count = streams_->read(readScratch_.data(), readScratch_.size());
        if (count > 0) {
            readBuffer_.insert(readBuffer_.end(), readScratch_.data(), readScratch_.data() + count);
        } else if (count < 0) {
            _failWithError(streams_->streamError().value_or(makeError(kVornErrorDomain, kVornErrorUnknown, "")));
        }
        if (count != static_cast<std::ptrdiff_t>(readScratch_.size())) break;
    }
}

// The opening handshake.

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

// Reading.

void vSRWebSocket::_addConsumerWithScanner(SRIOConsumer::Scanner scanner, SRIOConsumer::Handler callback) {
    assertOnWorkQueue();
    consumers_.push_back(consumerPool_.consumerWithScanner(std::move(scanner), std::move(callback), 0, false, false));
    _pumpScanner();
}

void vSRWebSocket::_addConsumerWithDataLength(std::uint64_t dataLength, SRIOConsumer::Handler callback,
                                              bool readToCurrentFrame, bool unmaskBytes) {
    assertOnWorkQueue();
    if (dataLength == 0) throw std::logic_error("vSRWebSocket: a read request needs a length");
    consumers_.push_back(
        consumerPool_.consumerWithScanner(nullptr, std::move(callback), dataLength, readToCurrentFrame, unmaskBytes));
    _pumpScanner();
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

void vSRWebSocket::_readFrameNew() {
    assertOnWorkQueue();
    currentFrameData_.clear();
    currentFrameOpcode_ = 0;
    currentFrameCount_ = 0;
    currentStringScanPosition_ = 0;
    _readFrameContinue();
}

void vSRWebSocket::_readFrameContinue() {
    assertOnWorkQueue();
    if (!((currentFrameCount_ == 0 && currentFrameOpcode_ == 0) ||
          (currentFrameCount_ != 0 && currentFrameOpcode_ != 0))) {
        throw std::logic_error("vSRWebSocket: inconsistent message state");
    }
    _addConsumerWithDataLength(
        2,
        [](vSRWebSocket& socket, std::optional<std::span<const std::uint8_t>> data) {
        socket._handleFrameStart(*data);
        },
        false, false);
}

void vSRWebSocket::_handleFrameStart(std::span<const std::uint8_t> bytes) {
    const std::uint8_t first = bytes[0];
    const std::uint8_t second = bytes[1];
    if (first & 0x70) {
        _closeWithProtocolError("Server used RSV bits");
        return;
    }
    FrameHeader header;
    header.opcode = first & 0x0F;
    if (!isControlOpcode(header.opcode)) {
        if (header.opcode != 0 && currentFrameCount_ > 0) {
            _closeWithProtocolError("all data frames after the initial data frame must have opcode 0");
            return;
        }
        if (header.opcode == 0 && currentFrameCount_ == 0) {
            _closeWithProtocolError("cannot continue a message");
            return;
        }
        if (header.opcode == 0) header.opcode = currentFrameOpcode_;
    }
    header.fin = (first & 0x80) != 0;
    header.masked = (second & 0x80) != 0;
    header.lengthField = second & 0x7F;
    header.payloadLength = header.lengthField;
    if (header.masked) _closeWithProtocolError("Client must receive unmasked data");

    std::size_t extraBytesNeeded = header.masked ? 4 : 0;
    if (header.lengthField == 126) {
        extraBytesNeeded += 2;
    } else if (header.lengthField == 127) {
        extraBytesNeeded += 8;
    }
    if (extraBytesNeeded == 0) {
        _handleFrameHeader(header);
        return;
    }
    _addConsumerWithDataLength(
        extraBytesNeeded,
        [header](vSRWebSocket& socket, std::optional<std::span<const std::uint8_t>> data) {
        FrameHeader full = header;
        const std::uint8_t* bytes = data->data();
        if (full.lengthField == 126) {
            full.payloadLength = (static_cast<std::uint64_t>(bytes[0]) << 8) | bytes[1];
            bytes += 2;
        } else if (full.lengthField == 127) {
            full.payloadLength = 0;
            for (int index = 0; index < 8; ++index) full.payloadLength = (full.payloadLength << 8) | bytes[index];
            bytes += 8;
        }
        if (full.masked) std::memcpy(socket.currentReadMaskKey_.data(), bytes, 4);
        socket._handleFrameHeader(full);
        },
        false, false);
}

void vSRWebSocket::_handleFrameHeader(const FrameHeader& header) {
    assertOnWorkQueue();
    // Frames are dropped once the connection is no longer open.
    if (readyState() != SRReadyState::OPEN) return;
    const bool isControl = isControlOpcode(header.opcode);
    if (isControl && !header.fin) {
        _closeWithProtocolError("Fragmented control frames not allowed");
        return;
    }
    if (isControl && header.payloadLength >= 126) {
        _closeWithProtocolError("Control frames cannot have payloads larger than 126 bytes");
        return;
    }
    if (!isControl) {
        // Refused on its header: the payload of an oversized message is never read.
        const std::size_t limit = maximumMessageSize();
        if (currentFrameData_.size() > limit || header.payloadLength > limit - currentFrameData_.size()) {
            _failWithMessageTooBig();
            return;
        }
        currentFrameOpcode_ = header.opcode;
        ++currentFrameCount_;
        // Room for the announced payload (bounded), growing geometrically.
        const std::size_t wanted =
            currentFrameData_.size() + static_cast<std::size_t>(std::min(header.payloadLength, kMaxReserveAhead));
        if (wanted > currentFrameData_.capacity()) {
            currentFrameData_.reserve(std::max(wanted, currentFrameData_.capacity() * 2));
        }
    }

    if (header.payloadLength == 0) {
        if (isControl) {
            _handleFrameWithData({}, header.opcode);
        } else if (header.fin) {
            _handleFrameWithData(currentFrameData_, currentFrameOpcode_);
        } else {
            _readFrameContinue();
        }
        return;
    }
    _addConsumerWithDataLength(
        header.payloadLength,
        [header, isControl](vSRWebSocket& socket, std::optional<std::span<const std::uint8_t>> data) {
        if (isControl) {
            socket._handleFrameWithData(*data, header.opcode);
        } else if (header.fin) {
            socket._handleFrameWithData(socket.currentFrameData_, socket.currentFrameOpcode_);
        } else {
            socket._readFrameContinue();
        }
        },
        !isControl, header.masked);
}

void vSRWebSocket::_handleFrameWithData(std::span<const std::uint8_t> frameData, std::uint8_t opcode) {
    assertOnWorkQueue();
    auto self = shared_from_this();
    // The next read is queued first; it runs after this handling, which
    // therefore still sees the assembled message.
    ++queuedReads_;
    if (isControlOpcode(opcode)) {
        asio::post(workQueue_, [self] {
            --self->queuedReads_;
            self->_readFrameContinue();
            self->flushMessagesAfterReading();
        });
    } else {
        asio::post(workQueue_, [self] {
            --self->queuedReads_;
            self->_readFrameNew();
            self->flushMessagesAfterReading();
        });
    }

    switch (opcode) {
        case 1: {
            // Everything before the scan position is proven already; what is
            // left is at most an incomplete sequence held over.
            const std::size_t proven = std::min(currentStringScanPosition_, frameData.size());
            if (!isValidUTF8(frameData.data() + proven, frameData.size() - proven)) {
                closeWithCode(SRStatusCodeInvalidUTF8, std::string("Text frames must be valid UTF-8"));
                asio::post(workQueue_, [self] { self->_disconnect(); });
                return;
            }
            SRMessage message(std::in_place_type<std::string>, reinterpret_cast<const char*>(frameData.data()),
                              frameData.size());
            // A fresh buffer for the next message: a large one is not kept.
            if (currentFrameData_.capacity() > kKeptBufferCapacity) currentFrameData_ = std::vector<std::uint8_t>();
            releaseLargeBuffers();
            _deliverMessage(std::move(message));
            break;
        }
        case 2: {
            // A data frame's payload is the assembled message itself, which
            // is emptied before the next message anyway: hand it over.
            SRMessage message(std::in_place_type<SRData>, std::move(currentFrameData_));
            currentFrameData_ = SRData();
            releaseLargeBuffers();
            _deliverMessage(std::move(message));
            break;
        }
        case 8:
            handleCloseWithData(frameData);
            break;
        case 9: {
            SRData payload(frameData.begin(), frameData.end());
            _performDelegateBlock([self, payload = std::move(payload)]() mutable {
                PendingSend pong;
                pong.opcode = 10;
                pong.payload = std::move(payload);
                self->queueSend(std::move(pong));
            });
            break;
        }
        case 10:
            break;
        default:
            _closeWithProtocolError("Unknown opcode " + std::to_string(static_cast<long>(opcode)));
            break;
    }
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

void vSRWebSocket::_pumpScanner() {
    assertOnWorkQueue();
    if (isPumping_) return;
    isPumping_ = true;
    bool didWork = true;
    while (didWork) didWork = _innerPumpScanner();
    isPumping_ = false;
}

bool vSRWebSocket::_innerPumpScanner() {
    const SRReadyState state = readyState();
    if (state == SRReadyState::CLOSING || state == SRReadyState::CLOSED) return false;
    if (consumers_.empty()) return false;
    const std::size_t available = readBuffer_.size() - readBufferOffset_;
    if (available == 0) return false;

    SRIOConsumer& consumer = *consumers_.front();
    const std::uint64_t bytesNeeded = consumer.bytesNeeded();
    std::size_t foundSize = 0;
    if (consumer.consumer()) {
        foundSize =
            consumer.consumer()(std::span<const std::uint8_t>(readBuffer_.data() + readBufferOffset_, available));
    } else if (available >= bytesNeeded) {
        foundSize = static_cast<std::size_t>(bytesNeeded);
    } else if (consumer.readToCurrentFrame()) {
        foundSize = available;
    }
    if (!consumer.readToCurrentFrame() && foundSize == 0) return false;

    std::uint8_t* slice = readBuffer_.data() + readBufferOffset_;
    readBufferOffset_ += foundSize;
    if (consumer.unmaskBytes()) {
        for (std::size_t index = 0; index < foundSize; ++index) {
            slice[index] ^= currentReadMaskKey_[currentReadMaskOffset_ % 4];
            ++currentReadMaskOffset_;
        }
    }

    if (!consumer.readToCurrentFrame()) {
        auto finished = std::move(consumers_.front());
        consumers_.pop_front();
        // The item's bytes stay where they are until the handler returns.
        finished->handler()(*this, std::span<const std::uint8_t>(slice, foundSize));
        compactReadBuffer();
        consumerPool_.returnConsumer(std::move(finished));
        return true;
    }

    currentFrameData_.insert(currentFrameData_.end(), slice, slice + foundSize);
    compactReadBuffer();
    if (currentFrameOpcode_ == 1 && !currentFrameData_.empty()) {
        const std::int64_t valid = validatedUTF8Length(currentFrameData_.data() + currentStringScanPosition_,
                                                       currentFrameData_.size() - currentStringScanPosition_);
        if (valid < 0) {
            closeWithCode(SRStatusCodeInvalidUTF8, std::string("Text frames must be valid UTF-8"));
            auto self = shared_from_this();
            asio::post(workQueue_, [self] { self->_disconnect(); });
            return false;
        }
        currentStringScanPosition_ += static_cast<std::size_t>(valid);
    }
    consumer.setBytesNeeded(bytesNeeded - foundSize);
    if (consumer.bytesNeeded() == 0) {
        auto finished = std::move(consumers_.front());
        consumers_.pop_front();
        finished->handler()(*this, std::nullopt);
        consumerPool_.returnConsumer(std::move(finished));
        return true;
    }
    return false;
}

void vSRWebSocket::releaseLargeBuffers() {
    if (readBuffer_.capacity() > kKeptBufferCapacity && readBuffer_.size() - readBufferOffset_ <= kKeptBufferCapacity) {
        std::vector<std::uint8_t> fresh(readBuffer_.begin() + static_cast<std::ptrdiff_t>(readBufferOffset_),
                                        readBuffer_.end());
        readBuffer_ = std::move(fresh);
        readBufferOffset_ = 0;
    }
    if (outputBufferOffset_ == outputBuffer_.size() && outputBuffer_.capacity() > kKeptBufferCapacity &&
        !streams_->hasPendingWrites()) {
        outputBuffer_ = OutputBuffer();
        outputBufferOffset_ = 0;
    }
}

void vSRWebSocket::compactReadBuffer() {
    if (readBufferOffset_ > kCompactionThreshold && readBufferOffset_ > readBuffer_.size() / 2) {
        const std::size_t remaining = readBuffer_.size() - readBufferOffset_;
        std::memmove(readBuffer_.data(), readBuffer_.data() + readBufferOffset_, remaining);
        readBuffer_.resize(remaining);
        readBufferOffset_ = 0;
    }
}

std::int64_t vSRWebSocket::validatedUTF8Length(const std::uint8_t* bytes, std::size_t length) {
    if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return -1;
    const auto end = static_cast<std::int32_t>(length);
    std::int32_t index = 0;
    while (index < end) {
        // Runs of ASCII, eight bytes at a time.
        while (index + 8 <= end) {
            std::uint64_t word;
            std::memcpy(&word, bytes + index, 8);
            if (word & 0x8080808080808080ull) break;
            index += 8;
        }
        while (index < end && bytes[index] < 0x80) ++index;
        if (index >= end) break;

        const std::int32_t start = index;
        UChar32 codePoint;
        U8_NEXT(bytes, index, end, codePoint);
        if (codePoint >= 0) continue;

        // Ill-formed, or only cut off: a lead byte whose announced length
        // reaches the end of the data, followed only by continuation bytes.
        const std::uint8_t lead = bytes[start];
        int announced = 0;
        if (lead >= 0xC0 && lead <= 0xDF) {
            announced = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            announced = 3;
        } else if (lead >= 0xF0 && lead <= 0xF7) {
            announced = 4;
        } else if (lead >= 0xF8 && lead <= 0xFB) {
            announced = 5;
        } else if (lead >= 0xFC && lead <= 0xFD) {
            announced = 6;
        }
        if (announced == 0 || static_cast<std::int64_t>(start) + announced < end) return -1;
        for (std::int32_t next = start + 1; next < end; ++next) {
            if ((bytes[next] & 0xC0) != 0x80) return -1;
        }
        return start;
    }
    return end;
}

bool vSRWebSocket::isValidUTF8(const std::uint8_t* bytes, std::size_t length) {
    return validatedUTF8Length(bytes, length) == static_cast<std::int64_t>(length);
}

// Writing.

void vSRWebSocket::send(std::string text) {
    if (!isValidUTF8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) {
        throw std::invalid_argument("vSRWebSocket: a text message must be UTF-8");
    }
    queueSend(PendingSend{1, std::move(text), 0, std::nullopt});
}

void vSRWebSocket::send(SRData data) {
    queueSend(PendingSend{2, std::move(data), 0, std::nullopt});
}

void vSRWebSocket::send(std::nullptr_t) {
    queueSend(PendingSend{1, std::string(), 0, std::nullopt});
}

void vSRWebSocket::queueSend(PendingSend send) {
    bool post = false;
    {
        std::lock_guard lock(sendMutex_);
        pendingSends_.push_back(std::move(send));
        post = !std::exchange(sendsPosted_, true);
    }
    // Sends queued while one hand-off is on its way ride along with it.
    if (post) asio::post(workQueue_, [self = shared_from_this()] { self->drainSends(); });
}

void vSRWebSocket::drainSends() {
    assertOnWorkQueue();
    std::vector<PendingSend> batch;
    {
        std::lock_guard lock(sendMutex_);
        batch.swap(pendingSends_);
        sendsPosted_ = false;
    }
    if (batch.empty()) return;
    for (auto& send : batch) {
        if (send.opcode == 0) {
            _closeWithCodeOnWorkQueue(send.closeCode, send.closeReason);
        } else {
            _sendFrameWithOpcode(send.opcode,
                                 std::visit([](const auto& value) { return bytesOf(value); }, send.payload), false);
        }
    }
    // One write for every frame of the batch.
    _pumpWriting();
}

void vSRWebSocket::_sendFrameWithOpcode(std::uint8_t opcode, std::span<const std::uint8_t> data, bool pump) {
    assertOnWorkQueue();
    // The write buffer takes nothing once the teardown has begun, nor
    // anything after the close frame, whatever the listener still sends.
    if (closeWhenFinishedWriting_ || closeFrameQueued_) return;

    const std::size_t payloadLength = data.size();
    const std::size_t headerLength = payloadLength < 126 ? 2 : (payloadLength <= 0xFFFF ? 4 : 10);
    const std::size_t frameStart = outputBuffer_.size();
    try {
        // The frame is encoded straight into the write buffer.
        outputBuffer_.resize(frameStart + headerLength + 4 + payloadLength);
    } catch (const std::bad_alloc&) {
        closeWithCode(SRStatusCodeMessageTooBig, std::string("Message too big"));
        return;
    } catch (const std::length_error&) {
        closeWithCode(SRStatusCodeMessageTooBig, std::string("Message too big"));
        return;
    }
    std::uint8_t* frame = outputBuffer_.data() + frameStart;
    // Messages are never fragmented on sending; every frame is masked.
    frame[0] = static_cast<std::uint8_t>(0x80 | opcode);
    if (payloadLength < 126) {
        frame[1] = static_cast<std::uint8_t>(0x80 | payloadLength);
    } else if (payloadLength <= 0xFFFF) {
        frame[1] = 0x80 | 126;
        frame[2] = static_cast<std::uint8_t>(payloadLength >> 8);
        frame[3] = static_cast<std::uint8_t>(payloadLength);
    } else {
        frame[1] = 0x80 | 127;
        const auto length64 = static_cast<std::uint64_t>(payloadLength);
        for (int index = 0; index < 8; ++index)
            frame[2 + index] = static_cast<std::uint8_t>(length64 >> (56 - 8 * index));
    }
    std::uint8_t* maskKey = frame + headerLength;
    // Mask keys come from the secure random source a few hundred at a time.
    if (maskKeyOffset_ == maskKeys_.size()) {
        secureRandomBytes(maskKeys_.data(), maskKeys_.size());
        maskKeyOffset_ = 0;
    }
    std::memcpy(maskKey, maskKeys_.data() + maskKeyOffset_, 4);
    maskKeyOffset_ += 4;
    if (payloadLength > 0) maskBytes(maskKey + 4, data.data(), payloadLength, maskKey);
    if (opcode == 8) closeFrameQueued_ = true;
    if (pump) _pumpWriting();
}

void vSRWebSocket::_writeData(std::span<const std::uint8_t> data) {
    assertOnWorkQueue();
    if (closeWhenFinishedWriting_) return;
    outputBuffer_.insert(outputBuffer_.end(), data.begin(), data.end());
    _pumpWriting();
}

void vSRWebSocket::_pumpWriting() {
    assertOnWorkQueue();
    const std::size_t dataLength = outputBuffer_.size();
    if (dataLength > outputBufferOffset_ && streams_->hasSpaceAvailable()) {
        const std::ptrdiff_t written =
            streams_->write(outputBuffer_.data() + outputBufferOffset_, dataLength - outputBufferOffset_);
        if (written < 0) {
            _failWithError(makeError(kVornErrorDomain, kSRErrorWritingToStream, "Error writing to stream"));
            return;
        }
        outputBufferOffset_ += static_cast<std::size_t>(written);
        if (outputBufferOffset_ == outputBuffer_.size() && outputBuffer_.capacity() > kKeptBufferCapacity &&
            !streams_->hasPendingWrites()) {
            // Everything went out: a buffer grown for a large message is given back.
            outputBuffer_ = OutputBuffer();
            outputBufferOffset_ = 0;
        }
        if (outputBufferOffset_ > kCompactionThreshold && outputBufferOffset_ > outputBuffer_.size() / 2) {
            const std::size_t remaining = outputBuffer_.size() - outputBufferOffset_;
            std::memmove(outputBuffer_.data(), outputBuffer_.data() + outputBufferOffset_, remaining);
            outputBuffer_.resize(remaining);
            outputBufferOffset_ = 0;
        }
    }

    const SRStreamStatus inputStatus = streams_->status();
    // Every byte must be on the wire, not just handed to the stream, before
    // the connection closes.
    if (closeWhenFinishedWriting_ && outputBuffer_.size() == outputBufferOffset_ && !streams_->hasPendingWrites() &&
        inputStatus != SRStreamStatus::NotOpen && inputStatus != SRStreamStatus::Closed && !sentClose_) {
        sentClose_ = true;
        streams_->close();
        {
            std::lock_guard lock(mutex_);
            scheduledRunloops_.clear();
        }
        if (!failed_) {
            auto self = shared_from_this();
            _performDelegateBlock([self, code = closeCode_, reason = closeReason_] {
                if (auto delegate = self->delegate()) delegate->webSocket(self, code, reason, true);
            });
        }
        selfRetain_.reset();
    }
}

void vSRWebSocket::_disconnect() {
    assertOnWorkQueue();
    closeWhenFinishedWriting_ = true;
    _pumpWriting();
}

// Support operations.

std::string SR_origin(const SRURL& url) {
    std::string scheme = lowercase(url.scheme());
    if (scheme == "wss") {
        scheme = "https";
    } else if (scheme == "ws") {
        scheme = "http";
    }
    if (url.port()) return scheme + "://" + url.hostForHeader() + ":" + std::to_string(*url.port()) + "/";
    return scheme + "://" + url.hostForHeader() + "/";
}

std::string stringBySHA1ThenBase64Encoding(std::span<const std::uint8_t> data) {
    if (data.size() > 0xFFFFFFFFull) throw std::length_error("stringBySHA1ThenBase64Encoding: input too long");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &digestLength, EVP_sha1(), nullptr) != 1) {
        throw std::runtime_error("stringBySHA1ThenBase64Encoding: SHA-1 failed");
    }
    return vBase64::stringByEncodingBytes(digest, digestLength).value_or(std::string());
}

std::string stringBySHA1ThenBase64Encoding(std::string_view text) {
    return stringBySHA1ThenBase64Encoding(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace vorn
