#pragma once

#include "vorn/core/VornError.h"
#include "vorn/websocket/SRIOConsumer.h"
#include "vorn/websocket/SRIOConsumerPool.h"
#include "vorn/websocket/SRStreamPair.h"
#include "vorn/websocket/SRURL.h"
#include "vorn/websocket/SRURLRequest.h"
#include "vorn/websocket/SRWebSocketDelegate.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vorn {

/// Ready state of a WebSocket; it only ever grows.
enum class SRReadyState : unsigned {
    CONNECTING = 0,  ///< constructed; connecting or handshake in progress
    OPEN = 1,        ///< handshake accepted; messages flow
    CLOSING = 2,     ///< close frame sent (or a close requested while connecting)
    CLOSED = 3,      ///< connection ended or failed
};

/// The error domain of the handshake's accept and subprotocol checks.
inline constexpr const char* kSRWebSocketErrorDomain = "VornSRWebSocketErrorDomain";

/// Error codes given to `webSocket(socket, error)`. 2132, 23556 and 2145 are
/// in the library's domain (`kVornErrorDomain`), 2133 in
/// `kSRWebSocketErrorDomain`; stream errors keep their own domain and code.
/// 2133 also reports a handshake response whose header does not parse
/// ("Invalid handshake response header") or grows beyond
/// `kMaxHandshakeHeaderBytes` ("Handshake response header too large").
/// 2134 (in `kSRWebSocketErrorDomain`) reports a received message larger
/// than `maximumMessageSize()`, with the message "Message too big: more than
/// N bytes"; the connection is closed with status 1009 first.
enum SRWebSocketErrorCode : int {
    kSRErrorBadResponseCode = 2132,     ///< handshake response status >= 400
    kSRErrorHandshakeInvalid = 2133,    ///< bad accept key or unrequested subprotocol
    kSRErrorMessageTooBig = 2134,       ///< a received message beyond the maximum message size
    kSRErrorWritingToStream = 2145,     ///< writing to the stream failed
    kSRErrorInvalidServerCert = 23556,  ///< no pinned certificate in the peer's chain
};

/// The largest handshake response header accepted.
inline constexpr std::size_t kMaxHandshakeHeaderBytes = std::size_t{64} * 1024;

/// The largest received message accepted unless `setMaximumMessageSize`
/// says otherwise: 16 MiB.
inline constexpr std::size_t kSRDefaultMaximumMessageSize = std::size_t{16} << 20;

/// Close codes the client itself sends.
enum SRStatusCode : int {
    SRStatusCodeNormal = 1000,
    SRStatusCodeProtocolError = 1002,
    SRStatusCodeNoStatusReceived = 1005,
    SRStatusCodeInvalidUTF8 = 1007,
    SRStatusCodeMessageTooBig = 1009,
};

/// The mode in which streams are scheduled when nothing else is asked for.
inline constexpr const char* kSRDefaultRunLoopMode = "default";

/// An operation queue for listener calls: called with each listener call, in
/// order, from the socket's work queue; it runs the call wherever it wants.
using SROperationQueue = std::function<void(std::function<void()> operation)>;

/// A WebSocket client (RFC 6455, version 13) over TCP or TLS.
///
/// Every socket keeps its state on its own serial work queue, an Asio strand
/// on the process-wide network thread (`SR_networkRunLoop()`), which also
/// drives the streams. Listener calls go to the delegate queue: the
/// library's main loop (`MainLoop::shared()`) unless another executor or an
/// operation queue is set. The public operations may be called from any
/// thread; they never wait for the network.
///
/// A socket serves one connection. It is owned through `std::shared_ptr`;
/// from `open` until the connection ends it also holds itself, so the
/// creator need not keep it.
///
/// Programming errors are refused with exceptions: a scheme other than ws,
/// wss, http or https or a request without a URL, a URL path or query with
/// spaces or control characters, a header name that is not an HTTP token or
/// a header value with CR, LF or NUL, a subprotocol that is not an HTTP
/// token (`std::invalid_argument` from the factories); `open` a second time
/// (`std::logic_error`); a zero close code, a close reason of more than 123
/// bytes or not UTF-8, a text message that is not UTF-8
/// (`std::invalid_argument`). `open` after `close` makes no connection.
class vSRWebSocket final : public std::enable_shared_from_this<vSRWebSocket>, private SRStreamDelegate {
    struct PrivateTag {};

public:
    /// Subprotocols to request; none requests none.
    using Protocols = std::optional<std::vector<std::string>>;
    /// The socket's serial work queue.
    using WorkQueue = boost::asio::strand<boost::asio::io_context::executor_type>;
    /// Called on the work queue before (`prior` true) and after each change
    /// of the ready state.
    using ReadyStateObserver =
        std::function<void(vSRWebSocket& socket, SRReadyState oldValue, SRReadyState newValue, bool prior)>;

    // Construction: nothing is opened.
    /// A socket for the request (URL and headers), asking for the subprotocols; `std::invalid_argument` for a bad
    /// request.
    static std::shared_ptr<vSRWebSocket> initWithURLRequest(const SRURLRequest& request, Protocols protocols);
    /// The same, with no subprotocols.
    static std::shared_ptr<vSRWebSocket> initWithURLRequest(const SRURLRequest& request);
    /// A socket for the URL, asking for the subprotocols.
    static std::shared_ptr<vSRWebSocket> initWithURL(const SRURL& url, Protocols protocols);
    /// The same, with no subprotocols.
    static std::shared_ptr<vSRWebSocket> initWithURL(const SRURL& url);
    /// The same from URL text; `std::invalid_argument` when it is no URL.
    static std::shared_ptr<vSRWebSocket> initWithURL(const std::string& url, Protocols protocols);
    /// The same, with no subprotocols.
    static std::shared_ptr<vSRWebSocket> initWithURL(const std::string& url);

    /// Made only by the factories.
    vSRWebSocket(PrivateTag, const SRURLRequest& request, Protocols protocols);
    ~vSRWebSocket();
    vSRWebSocket(const vSRWebSocket&) = delete;
    vSRWebSocket& operator=(const vSRWebSocket&) = delete;

    // Listener and where it is called.
    /// The listener; empty when none is set or it is gone.
    std::shared_ptr<SRWebSocketDelegate> delegate() const;
    /// Sets the listener (held weakly).
    void setDelegate(std::weak_ptr<SRWebSocketDelegate> delegate);
    /// Listener calls go to this operation queue while one is set (an empty
    /// function unsets it).
    void setDelegateOperationQueue(SROperationQueue queue);
    /// Listener calls go to this executor when no operation queue is set.
    void setDelegateDispatchQueue(boost::asio::any_io_executor queue);

    // Properties.
    /// The URL connected to.
    const SRURL& url() const { return url_; }
    /// The subprotocol that the server selected, once open.
    std::optional<std::string> protocol() const;
    /// The current ready state.
    SRReadyState readyState() const { return readyState_.load(std::memory_order_acquire); }
    /// Adds an observer of ready state changes; returns the token that removes it.
    std::uint64_t addReadyStateObserver(ReadyStateObserver observer);
    /// Removes the observer added with `token`.
    void removeReadyStateObserver(std::uint64_t token);

    /// Records a (run loop, mode) pair on which the streams are scheduled.
    /// Asio binds a connection to its io_context when the connection is made,
    /// so this matters only before `open`: the streams then run on the first
    /// recorded loop, else on the shared network run loop.
    void scheduleInRunLoop(boost::asio::io_context& runLoop, const std::string& mode);
    /// Forgets a pair recorded by `scheduleInRunLoop`.
    void unscheduleFromRunLoop(boost::asio::io_context& runLoop, const std::string& mode);

    // Connection.
    /// Connects and runs the opening handshake. Called once.
    void open();
    /// `closeWithCode(1000, no reason)`.
    void close();
    /// Starts the closing handshake (code nonzero; it goes out as 16 bits).
    void closeWithCode(std::int64_t code, std::optional<std::string> reason);

    // Sending: any thread; a copy of the message is queued.
    /// One text frame holding the string's bytes (UTF-8).
    void send(std::string text);
    /// One binary frame.
    void send(SRData data);
    /// An empty text frame.
    void send(std::nullptr_t);

    // Limits.
    /// The largest message accepted from the server, in payload bytes: a
    /// single frame or the fragments of one message together. A frame whose
    /// header would take the message beyond it closes the connection with
    /// status 1009 ("Message too big") before its payload is read, and the
    /// listener is told `kSRErrorMessageTooBig`. Any thread; it applies to
    /// frame headers read from then on. 0 restores the default,
    /// `kSRDefaultMaximumMessageSize`.
    void setMaximumMessageSize(std::size_t bytes);
    /// The limit in use.
    std::size_t maximumMessageSize() const { return maximumMessageSize_.load(std::memory_order_relaxed); }

    /// "wss" and "https" URLs are secure.
    bool isSecure() const { return secure_; }

private:
    friend struct SRWebSocketTestPeer;

    struct FrameHeader {
        std::uint64_t payloadLength = 0;
        std::uint8_t opcode = 0;
        std::uint8_t lengthField = 0;
        bool fin = false;
        bool masked = false;
    };

    /// Lets the output buffer grow without zero-filling bytes that the frame
    /// encoder overwrites at once.
    template <typename T>
    struct DefaultInitAllocator : std::allocator<T> {
        /// The same allocator for another element type.
        template <typename U>
        struct rebind {
            /// The rebound allocator.
            using other = DefaultInitAllocator<U>;
        };
        DefaultInitAllocator() = default;
        template <typename U>
        DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
        template <typename U>
        void construct(U* place) noexcept {
            ::new (static_cast<void*>(place)) U;
        }
        template <typename U, typename... Args>
        void construct(U* place, Args&&... args) {
            ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
        }
    };
    using OutputBuffer = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;

    // Stream events, on the work queue.
    void stream(SRStreamKind stream, SRStreamEvent event) override;
    void handleStreamEvent(SRStreamKind stream, SRStreamEvent event);
    bool passesPinTest();

    void assertOnWorkQueue() const;
    void _setReadyState(SRReadyState readyState);
    /// Where listener calls go now: the operation queue when one is set,
    /// else the dispatch executor.
    std::pair<SROperationQueue, boost::asio::any_io_executor> delegateQueue() const;
    template <typename Block>
    void _performDelegateBlock(Block&& block);
    /// Queues a received message for the delegate. The messages that one
    /// read produced go to the delegate queue in one hand-off.
    void _deliverMessage(SRMessage message);
    void flushMessagesAfterReading();
    void flushMessages();

    // Connection and handshake.
    void _connect();
    void didConnect();
    void _readHTTPHeader();
    enum class HeaderState { Incomplete, Complete, Invalid };
    HeaderState _headerIsComplete();
    void HTTPHeadersDidFinish();
    bool _checkHandshake() const;
    void _failWithError(VornError error);
    void _closeWithProtocolError(std::string message);
    /// Closes with 1009 and reports `kSRErrorMessageTooBig`.
    void _failWithMessageTooBig();
    void _closeWithCodeOnWorkQueue(std::int64_t code, const std::optional<std::string>& reason);

    // Reading.
    void _addConsumerWithScanner(SRIOConsumer::Scanner scanner, SRIOConsumer::Handler callback);
    void _addConsumerWithDataLength(std::uint64_t dataLength, SRIOConsumer::Handler callback, bool readToCurrentFrame,
                                    bool unmaskBytes);
    void _readUntilHeaderCompleteWithCallback(SRIOConsumer::Handler callback);
    void _readFrameNew();
    void _readFrameContinue();
    void _handleFrameStart(std::span<const std::uint8_t> bytes);
    void _handleFrameHeader(const FrameHeader& header);
    void _handleFrameWithData(std::span<const std::uint8_t> frameData, std::uint8_t opcode);
    void handleCloseWithData(std::span<const std::uint8_t> data);
    void _pumpScanner();
    bool _innerPumpScanner();
    void readFromStream();
    void compactReadBuffer();
    void releaseLargeBuffers();

    // Writing.
    /// A frame or a close asked for from outside the work queue, waiting to
    /// be taken over there. Opcode 0 stands for a close.
    struct PendingSend {
        std::uint8_t opcode = 0;
        std::variant<std::string, SRData> payload;
        std::int64_t closeCode = 0;
        std::optional<std::string> closeReason;
    };
    void queueSend(PendingSend send);
    /// Takes over every pending send, in order, and writes them in one go.
    void drainSends();
    void _sendFrameWithOpcode(std::uint8_t opcode, std::span<const std::uint8_t> data, bool pump = true);
    void _writeData(std::span<const std::uint8_t> data);
    void _pumpWriting();
    void _disconnect();

    /// Scans for the end of an HTTP header ("\r\n\r\n"): the length up to and
    /// including it, or 0.
    static std::size_t scanForHeaderEnd(std::span<const std::uint8_t> bytes);
    /// How many leading bytes are proven valid UTF-8 (an incomplete sequence
    /// at the end is held over), or -1 when the bytes are ill-formed.
    static std::int64_t validatedUTF8Length(const std::uint8_t* bytes, std::size_t length);
    /// Whether all the bytes are well-formed UTF-8.
    static bool isValidUTF8(const std::uint8_t* bytes, std::size_t length);

    // Fixed at construction.
    SRURL url_;
    SRURLRequest urlRequest_;
    Protocols requestedProtocols_;
    bool secure_ = false;
    std::int64_t webSocketVersion_ = 13;
    std::uint16_t port_ = 0;
    WorkQueue workQueue_;
    std::shared_ptr<SRStreamPair> streams_;

    // Shared with other threads, under the mutex.
    mutable std::mutex mutex_;
    std::weak_ptr<SRWebSocketDelegate> delegate_;
    SROperationQueue delegateOperationQueue_;
    boost::asio::any_io_executor delegateDispatchQueue_;
    std::optional<std::string> protocol_;
    std::vector<std::pair<std::uint64_t, ReadyStateObserver>> observers_;
    std::uint64_t nextObserverToken_ = 1;
    std::vector<std::pair<boost::asio::io_context*, std::string>> scheduledRunloops_;
    std::atomic<SRReadyState> readyState_{SRReadyState::CONNECTING};
    std::atomic<bool> opened_{false};
    std::atomic<std::size_t> maximumMessageSize_{kSRDefaultMaximumMessageSize};

    // Sends waiting for the work queue, under their own mutex.
    std::mutex sendMutex_;
    std::vector<PendingSend> pendingSends_;
    bool sendsPosted_ = false;

    // Work queue only.
    std::shared_ptr<vSRWebSocket> selfRetain_;
    std::string secKey_;
    std::string receivedHTTPHeaders_;
    int responseStatus_ = 0;
    std::optional<std::string> responseAccept_;
    std::optional<std::string> responseProtocol_;
    bool pinnedCertFound_ = false;
    bool failed_ = false;
    bool sentClose_ = false;
    // Once the close frame is in the write buffer nothing may follow it.
    bool closeFrameQueued_ = false;
    bool closeWhenFinishedWriting_ = false;
    std::int32_t closeCode_ = 0;
    std::optional<std::string> closeReason_;

    std::vector<std::uint8_t> readBuffer_;
    std::size_t readBufferOffset_ = 0;
    OutputBuffer outputBuffer_;
    std::size_t outputBufferOffset_ = 0;
    std::deque<std::unique_ptr<SRIOConsumer>> consumers_;
    std::vector<SRMessage> pendingMessages_;
    std::size_t pendingMessageBytes_ = 0;
    std::size_t queuedReads_ = 0;
    SRIOConsumerPool consumerPool_;
    bool isPumping_ = false;

    std::vector<std::uint8_t> currentFrameData_;
    std::uint8_t currentFrameOpcode_ = 0;
    std::size_t currentFrameCount_ = 0;
    std::size_t currentStringScanPosition_ = 0;
    std::array<std::uint8_t, 4> currentReadMaskKey_{};
    std::size_t currentReadMaskOffset_ = 0;
    std::array<std::uint8_t, 2048> readScratch_{};
    std::array<std::uint8_t, 1024> maskKeys_{};  // unused keys from maskKeyOffset_ on
    std::size_t maskKeyOffset_ = 1024;
};

/// The Origin of a URL: the lower-cased scheme with "wss" as "https" and "ws"
/// as "http", "://", the host, ":port" when the URL has a port, and "/".
std::string SR_origin(const SRURL& url);

/// Standard base64 (with padding) of the SHA-1 digest of the text's bytes.
/// Inputs longer than 2^32 - 1 bytes are refused (`std::length_error`).
std::string stringBySHA1ThenBase64Encoding(std::string_view text);
std::string stringBySHA1ThenBase64Encoding(std::span<const std::uint8_t> data);

}  // namespace vorn
