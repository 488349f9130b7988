#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorn {

class HttpConnection;

/// What a running connection reports. Every call happens on the main loop,
/// in the order: body sent (any number), response, data (any number), then
/// finished or failed.
class HttpConnectionDelegate {
public:
    virtual ~HttpConnectionDelegate() = default;
    /// Body bytes were sent: `totalBytesWritten` of `totalBytesExpectedToWrite` bytes.
    virtual void didSendBodyData(const std::shared_ptr<HttpConnection>& connection, std::int64_t totalBytesWritten,
                                 std::int64_t totalBytesExpectedToWrite) = 0;
    /// The response header arrived with this HTTP status.
    virtual void didReceiveResponse(const std::shared_ptr<HttpConnection>& connection, long statusCode) = 0;
    /// A piece of the response body arrived.
    virtual void didReceiveData(const std::shared_ptr<HttpConnection>& connection, std::string data) = 0;
    /// The exchange failed; `error` describes why.
    virtual void didFailWithError(const std::shared_ptr<HttpConnection>& connection, const std::string& error) = 0;
    /// The exchange ended with the whole response received.
    virtual void connectionDidFinishLoading(const std::shared_ptr<HttpConnection>& connection) = 0;
};

/// One HTTP exchange as the transport sends it.
struct HttpMessage {
    /// The full URL.
    std::string url;
    /// The method.
    std::string method = "POST";
    /// The headers, in order.
    std::vector<std::pair<std::string, std::string>> headers;
    /// Shared, never copied: a large upload body exists once however many
    /// runs and retries send it.
    std::shared_ptr<const std::string> body;
    /// The whole exchange must end within this time; zero leaves only the
    /// transport's stall limit (`HttpTransport::timeoutSeconds`).
    std::chrono::milliseconds timeout{0};
    /// The most response body bytes accepted (after decoding); a response
    /// that announces or delivers more fails the exchange with "the
    /// response is larger than N bytes". 0, the default, sets no bound.
    std::uint64_t maxResponseBytes = 0;

    /// The body; "" when there is none.
    const std::string& bodyText() const;
};

/// A running asynchronous exchange. It holds its delegate strongly until it
/// finishes, fails or is cancelled, so a delegate stays alive while it runs.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
public:
    /// A connection that reports to `delegate`, with a new identifier.
    explicit HttpConnection(std::shared_ptr<HttpConnectionDelegate> delegate);

    /// The delegate while the connection may still report; empty after
    /// `release` or `cancel`.
    std::shared_ptr<HttpConnectionDelegate> delegate() const;
    /// Drops the delegate: nothing more is reported.
    void release();
    /// Stops the exchange; nothing more is reported.
    void cancel();
    /// Whether `cancel` was called.
    bool isCancelled() const { return cancelled_.load(); }
    /// A number unique to this connection in the process.
    std::uint64_t identifier() const { return identifier_; }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<HttpConnectionDelegate> delegate_;
    std::atomic<bool> cancelled_{false};
    std::uint64_t identifier_;
};

/// HTTP over libcurl: asynchronous exchanges run on the main loop (curl's
/// multi interface, its sockets and timer watched by the loop, connections
/// kept alive and reused per host, at most `kMaxConnectionsPerHost`
/// exchanges of a host at a time and the others waiting their turn);
/// synchronous exchanges run on the calling thread.
class HttpTransport {
public:
    /// The one transport of the process.
    static HttpTransport& shared();

    /// Starts an asynchronous exchange; its events go to `delegate` on the
    /// main loop.
    std::shared_ptr<HttpConnection> start(HttpMessage message, std::shared_ptr<HttpConnectionDelegate> delegate);

    /// Runs an exchange on the calling thread; the response body, or empty
    /// on any transport failure (described in `*error` when given).
    static std::optional<std::string> sendSynchronous(const HttpMessage& message, std::string* error = nullptr);

    /// Why the message cannot be sent safely: a request line or header value
    /// holding CR, LF or NUL, or a header name that is not an HTTP token
    /// (each would put text of its own on the wire). Such an exchange fails
    /// before anything is sent: asynchronously with this text as its error,
    /// synchronously with no response.
    static std::optional<std::string> unsafeMessageReason(const HttpMessage& message);

    /// Seconds without progress before an exchange fails, by default.
    static constexpr long kTimeoutSeconds = 60;
    /// The limit that exchanges started from now on use: `kTimeoutSeconds`
    /// unless set. Tests shorten it; 0 or less restores the default.
    static void setTimeoutSeconds(long seconds);
    /// The limit in use, in seconds.
    static long timeoutSeconds();
    /// Seconds a kept-alive connection may sit idle and still be reused, by
    /// default: below the idle limit after which the service (and the
    /// emulator, 60 s by default) closes a connection, so that a request is
    /// not sent on a connection the service is closing at that moment.
    /// libcurl sends a request again by itself when a reused connection ends
    /// before any byte of the reply, and a create or an upload would then be
    /// applied twice and reported once.
    ///
    /// What remains: a peer on the way (a proxy, a load balancer) or a
    /// service that closes idle connections sooner than this, and a reply
    /// lost after the service applied the request, can still lead to that
    /// resend; the limit is counted in whole seconds.
    static constexpr long kMaxConnectionIdleSeconds = 30;
    /// The idle limit for reuse that exchanges started from now on use:
    /// `kMaxConnectionIdleSeconds` unless set. 0 or less restores the default.
    static void setMaxConnectionIdleSeconds(long seconds);
    /// The idle limit for reuse in use, in seconds.
    static long maxConnectionIdleSeconds();
    /// Connections kept open to one host at most, and exchanges of one host
    /// running at a time: more wait in the transport, their time limits
    /// (`HttpMessage::timeout`) running, and start in the order they came.
    static constexpr long kMaxConnectionsPerHost = 16;

    /// Stops the exchange; nothing more is reported.
    void cancel(const std::shared_ptr<HttpConnection>& connection) noexcept;

private:
    class Worker;
    HttpTransport();
    std::unique_ptr<Worker> worker_;
};

}  // namespace vorn
