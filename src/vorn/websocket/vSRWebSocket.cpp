// The WebSocket client's core: construction, properties, the ready state,
// the hand-off of messages and events to the listener, and the stream events
// that drive the operations (vSRWebSocketHandshake, Read, Write, Close).

#include "vorn/websocket/vSRWebSocket.h"
#include "vorn/websocket/vSRWebSocketInternal.h"

#include "vorn/core/HttpText.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/vBase64.h"
#include "vorn/websocket/SRRunLoopThread.h"

#include <boost/asio/post.hpp>

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace vorn {

namespace asio = boost::asio;
using namespace srwebsocket;

namespace {

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

std::string lowercase(std::string text) {
    for (auto& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
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
