#include "vorn/net/HttpTransport.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/HttpText.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/ServiceHost.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {
namespace {

std::atomic<std::uint64_t> nextConnectionId{1};
std::atomic<long> timeoutLimit{HttpTransport::kTimeoutSeconds};
std::atomic<long> idleReuseLimit{HttpTransport::kMaxConnectionIdleSeconds};

void initializeCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Whether `url` begins with `prefix` (lower case), ignoring case.
bool startsWithNoCase(const std::string& url, std::string_view prefix) {
    if (url.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != prefix[i]) return false;
    }
    return true;
}

bool hasHttpScheme(const std::string& url) {
    return (url.size() > 7 && startsWithNoCase(url, "http://")) ||
           (url.size() > 8 && startsWithNoCase(url, "https://"));
}

bool isHttps(const std::string& url) {
    return startsWithNoCase(url, "https://");
}

}  // namespace

void HttpTransport::setTimeoutSeconds(long seconds) {
    timeoutLimit = seconds > 0 ? seconds : kTimeoutSeconds;
}

long HttpTransport::timeoutSeconds() {
    return timeoutLimit.load();
}

void HttpTransport::setMaxConnectionIdleSeconds(long seconds) {
    idleReuseLimit = seconds > 0 ? seconds : kMaxConnectionIdleSeconds;
}

long HttpTransport::maxConnectionIdleSeconds() {
    return idleReuseLimit.load();
}

std::optional<std::string> HttpTransport::unsafeMessageReason(const HttpMessage& message) {
    using httptext::hasLineBreakOrNul;
    if (hasLineBreakOrNul(message.url) || hasLineBreakOrNul(message.method)) return "request line holds CR, LF or NUL";
    for (const auto& [name, value] : message.headers) {
        if (!httptext::isToken(name)) return "header name is not an HTTP token";
        if (hasLineBreakOrNul(value)) return "header value holds CR, LF or NUL";
    }
    return std::nullopt;
}

namespace {

curl_slist* headerList(const HttpMessage& message) {
    curl_slist* list = nullptr;
    for (const auto& [name, value] : message.headers) {
        // "Name;" sends a header with an empty value; "Name:" would remove it.
        std::string line = name;
        line += value.empty() ? ";" : ": ";
        line += value;
        list = curl_slist_append(list, line.c_str());
    }
    // Never wait for "100 Continue" before a body.
    list = curl_slist_append(list, "Expect:");
    return list;
}

/// Adds the certificates of the configured CA file to the trust store of a
/// TLS connection, next to the system's.
CURLcode trustCaFile(CURL* /*easy*/, void* context, void* security) {
    const auto& file = static_cast<const TransportSecurity*>(security)->caFile;
    if (!file) return CURLE_OK;
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context));
    if (X509_STORE_load_locations(store, file->c_str(), nullptr) != 1) {
        ERR_clear_error();
        return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

/// Whether the URL is on one of the configured https hosts: its origin, then
/// the end or a "/".
bool onServiceHost(const std::string& url) {
    const ServiceHosts hosts = DeviceContext::shared().hosts();
    for (const std::string* host : {&hosts.api, &hosts.fallback, &hosts.file, &hosts.cloud}) {
        const ServiceHost parsed = ServiceHost::parse(*host);
        if (!parsed.secure || parsed.authority.empty()) continue;
        std::string origin = parsed.origin();
        std::transform(origin.begin(), origin.end(), origin.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (startsWithNoCase(url, origin) && (url.size() == origin.size() || url[origin.size()] == '/')) return true;
    }
    return false;
}

/// curl's form of the pins: "sha256//A;sha256//B".
std::string pinList(const std::vector<std::string>& pins) {
    std::string list;
    for (const std::string& pin : pins) {
        if (!list.empty()) list += ';';
        if (!pin.starts_with("sha256//")) list += "sha256//";
        list += pin;
    }
    return list;
}

/// TLS for an https exchange: the peer and its name verified (libcurl's
/// default, set here so that nothing can have turned it off), the CA file,
/// the pins on the service's own hosts, and redirects to https only, so
/// that nothing of the request leaves in clear text. `security` must outlive
/// the exchange.
void configureTls(CURL* easy, const std::string& url, const TransportSecurity& security) {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    if (security.caFile) {
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &trustCaFile);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, const_cast<TransportSecurity*>(&security));
    }
    if (!security.publicKeyPins.empty() && onServiceHost(url)) {
        curl_easy_setopt(easy, CURLOPT_PINNEDPUBLICKEY, pinList(security.publicKeyPins).c_str());
    }
}

/// The options both kinds of exchange share. For https, `security` is the
/// trust to apply and must outlive the exchange.
void configure(CURL* easy, const HttpMessage& message, curl_slist* headers, const TransportSecurity* security) {
    curl_easy_setopt(easy, CURLOPT_URL, message.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    if (security != nullptr && isHttps(message.url)) configureTls(easy, message.url, *security);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    const long timeout = HttpTransport::timeoutSeconds();
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, timeout);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, timeout);
    // A connection idle for longer is not reused but closed (libcurl's own
    // default, 118 s, is beyond the service's idle limit).
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, HttpTransport::maxConnectionIdleSeconds());
    // A body that announces its size is refused before it is read; the
    // write callbacks bound the others.
    if (message.maxResponseBytes > 0) {
        const auto limit = std::min<std::uint64_t>(message.maxResponseBytes, INT64_MAX);
        curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
    }
    if (message.timeout.count() > 0) {
        const auto limit = static_cast<long>(message.timeout.count());
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, limit);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, std::min(limit, timeout * 1000));
    }
    // Decode whatever compression curl supports; the header sent is the request's own.
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    if (message.method == "GET" && message.bodyText().empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (message.method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, message.bodyText().data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(message.bodyText().size()));
        if (message.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, message.method.c_str());
    }
}

/// Header callback of the blocking exchange: notes the blank line that ends
/// a header (of interim replies too; the final one comes last).
size_t noteHeaderEnd(char* data, size_t size, size_t count, void* ended) {
    const size_t length = size * count;
    if (length <= 2 && (length == 0 || data[0] == '\r' || data[0] == '\n')) *static_cast<bool*>(ended) = true;
    return length;
}

/// The text of a response beyond its bound.
std::string tooLargeText(std::uint64_t limit) {
    return "the response is larger than " + std::to_string(limit) + " bytes";
}

/// Whether `length` more bytes take a response of `received` bytes beyond
/// `limit` (0: no limit).
bool exceeds(std::uint64_t received, std::size_t length, std::uint64_t limit) {
    return limit > 0 && (received > limit || length > limit - received);
}

/// The body of the blocking exchange and its bound.
struct BoundedBody {
    std::string text;
    std::uint64_t limit = 0;
    bool tooLarge = false;
};

size_t appendToBody(char* data, size_t size, size_t count, void* target) {
    auto& body = *static_cast<BoundedBody*>(target);
    const size_t length = size * count;
    if (exceeds(body.text.size(), length, body.limit)) {
        // Fewer bytes taken than given ends the exchange.
        body.tooLarge = true;
        return 0;
    }
    body.text.append(data, length);
    return length;
}

}  // namespace

const std::string& HttpMessage::bodyText() const {
    static const std::string empty;
    return body ? *body : empty;
}

HttpConnection::HttpConnection(std::shared_ptr<HttpConnectionDelegate> delegate)
    : delegate_(std::move(delegate)), identifier_(nextConnectionId++) {}

std::shared_ptr<HttpConnectionDelegate> HttpConnection::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void HttpConnection::release() {
    std::shared_ptr<HttpConnectionDelegate> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(delegate_);
}

void HttpConnection::cancel() {
    cancelled_ = true;
    release();
}

/// The curl multi handle, driven from the main loop: curl's sockets are
/// watched by the loop's reactor and its timer is a loop timer, so that an
/// exchange's events reach its delegate in the same turn of the loop that
/// read them, with no thread in between. Every member is used on the main
/// loop only; `add` and `cancel` called elsewhere go there first.
class HttpTransport::Worker {
public:
    Worker() : io_(MainLoop::shared().context()), timer_(io_) {
        initializeCurl();
        multi_ = curl_multi_init();
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kMaxConnectionsPerHost * 4);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &Worker::onSocket);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &Worker::onTimer);
        curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    }

    void add(HttpMessage message, std::shared_ptr<HttpConnection> connection) {
        onLoop([this, message = std::move(message), connection = std::move(connection)]() mutable {
            begin(std::move(message), std::move(connection));
        });
    }

    void cancel(std::shared_ptr<HttpConnection> connection) {
        onLoop([this, connection = std::move(connection)] { drop(connection); });
    }

private:
    /// Runs `work` now when called on the main loop (never from inside a
    /// curl call: delegates and the application run outside them), else
    /// queues it there.
    template <typename Work>
    void onLoop(Work work) {
        if (MainLoop::shared().isCurrentThread()) {
            work();
        } else {
            MainLoop::shared().post(std::move(work));
        }
    }

    /// One exchange in flight.
    struct Transfer {
        Worker* worker = nullptr;
        HttpMessage message;
        std::shared_ptr<HttpConnection> connection;
        std::string origin;
        CURL* easy = nullptr;
        curl_slist* headers = nullptr;
        std::shared_ptr<const TransportSecurity> security;  // https only
        curl_off_t uploadReported = 0;
        bool responseReported = false;
        std::uint64_t received = 0;
        bool tooLarge = false;

        ~Transfer() {
            if (easy != nullptr) curl_easy_cleanup(easy);
            curl_slist_free_all(headers);
        }
    };

    /// A socket of curl's and the directions curl waits on. The reactor's
    /// registration is dropped, never the socket: curl closes it.
    struct Watch {
        Watch(boost::asio::io_context& io, curl_socket_t socket) : descriptor(io, socket) {}
        boost::asio::posix::stream_descriptor descriptor;
        int wanted = 0;  // CURL_POLL_IN, CURL_POLL_OUT or CURL_POLL_INOUT
        bool reading = false;
        bool writing = false;
    };

    /// Queues an event for the connection's delegate. The events of one
    /// call into curl are delivered after it returns, in order (`deliver`).
    template <typename Event>
    void post(const std::shared_ptr<HttpConnection>& connection, Event event) {
        outbox_.emplace_back([connection, event = std::move(event)]() mutable {
            if (connection->isCancelled()) return;
            if (auto delegate = connection->delegate()) event(*delegate, connection);
        });
    }

    /// Runs the queued events. They may start and cancel exchanges, which
    /// queue events of their own for a later turn.
    void deliver() {
        if (outbox_.empty()) return;
        auto events = std::move(outbox_);
        outbox_ = {};
        for (auto& event : events) event();
    }

    static void reportUpload(Transfer& transfer, curl_off_t now, curl_off_t total) {
        if (total <= 0 || now <= transfer.uploadReported) return;
        transfer.uploadReported = now;
        transfer.worker->post(transfer.connection,
                              [now, total](HttpConnectionDelegate& d, const std::shared_ptr<HttpConnection>& c) {
            d.didSendBodyData(c, now, total);
        });
    }

    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow) {
        reportUpload(*static_cast<Transfer*>(user), ulnow, ultotal);
        return 0;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        auto& transfer = *static_cast<Transfer*>(user);
        const size_t length = size * count;
        const bool endOfHeaders = length <= 2 && (length == 0 || data[0] == '\r' || data[0] == '\n');
        if (endOfHeaders) {
            long status = 0;
            curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
            char* location = nullptr;
            curl_easy_getinfo(transfer.easy, CURLINFO_REDIRECT_URL, &location);
            // Interim (1xx) responses and redirects being followed are not the response.
            if (status >= 200 && location == nullptr) {
                curl_off_t uploaded = 0;
                curl_easy_getinfo(transfer.easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
                reportUpload(transfer, uploaded, static_cast<curl_off_t>(transfer.message.bodyText().size()));
                transfer.responseReported = true;
                transfer.worker->post(transfer.connection,
                                      [status](HttpConnectionDelegate& d, const std::shared_ptr<HttpConnection>& c) {
                    d.didReceiveResponse(c, status);
                });
            }
        }
        return length;
    }

    static size_t onData(char* data, size_t size, size_t count, void* user) {
        auto& transfer = *static_cast<Transfer*>(user);
        const size_t length = size * count;
        if (exceeds(transfer.received, length, transfer.message.maxResponseBytes)) {
            // Fewer bytes taken than given ends the exchange.
            transfer.tooLarge = true;
            return 0;
        }
        transfer.received += length;
        if (length > 0) {
            transfer.worker->post(transfer.connection,
                                  [bytes = std::string(data, length)](
                                      HttpConnectionDelegate& d, const std::shared_ptr<HttpConnection>& c) mutable {
                d.didReceiveData(c, std::move(bytes));
            });
        }
        return length;
    }

    /// A failure found before curl has the exchange: reported in a later
    /// turn of the loop, never from within `start`.
    static void reportLater(const std::shared_ptr<HttpConnection>& connection, std::string error) {
        MainLoop::shared().post([connection, error = std::move(error)] {
            if (connection->isCancelled()) return;
            if (auto delegate = connection->delegate()) delegate->didFailWithError(connection, error);
        });
    }

    void reportFailure(const std::shared_ptr<HttpConnection>& connection, std::string error) {
        post(connection,
             [error = std::move(error)](HttpConnectionDelegate& d, const std::shared_ptr<HttpConnection>& c) {
            d.didFailWithError(c, error);
        });
    }

    /// An exchange waiting for one of its host's running ones to end. Its
    /// time limit runs while it waits.
    struct Held {
        HttpMessage message;
        std::shared_ptr<HttpConnection> connection;
        std::chrono::steady_clock::time_point since;
        std::unique_ptr<boost::asio::steady_timer> limit;  // with a time limit
        bool ended = false;                                // its limit passed
    };

    /// The host part of a URL ("http://host:port", lower case): what
    /// exchanges are counted by.
    static std::string originOf(const std::string& url) {
        const auto scheme = url.find("://");
        const auto end = scheme == std::string::npos ? url.size() : url.find_first_of("/?#", scheme + 3);
        std::string origin = url.substr(0, end);
        std::transform(origin.begin(), origin.end(), origin.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return origin;
    }

    /// Hands an exchange to curl when fewer than kMaxConnectionsPerHost of
    /// its host run, else holds it until one ends. curl would queue the
    /// others itself, but it looks at every queued exchange again each
    /// time a connection comes free, which with many queued costs more
    /// than the exchanges.
    void begin(HttpMessage message, std::shared_ptr<HttpConnection> connection) {
        if (connection->isCancelled()) return;
        if (!hasHttpScheme(message.url)) {
            reportLater(connection, "unsupported URL");
            return;
        }
        if (auto unsafe = unsafeMessageReason(message)) {
            reportLater(connection, *unsafe);
            return;
        }
        std::string origin = originOf(message.url);
        auto& host = hosts_[origin];
        if (host.running >= kMaxConnectionsPerHost) {
            auto held = std::make_shared<Held>();
            held->since = std::chrono::steady_clock::now();
            if (message.timeout.count() > 0) {
                held->limit = std::make_unique<boost::asio::steady_timer>(io_, message.timeout);
                held->limit->async_wait([held = std::weak_ptr<Held>(held)](const boost::system::error_code& error) {
                    auto waiting = held.lock();
                    if (error || !waiting || waiting->ended) return;
                    waiting->ended = true;
                    reportLater(waiting->connection, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
                });
            }
            held->message = std::move(message);
            held->connection = std::move(connection);
            host.held.push_back(std::move(held));
            return;
        }
        hand(std::move(message), std::move(connection), std::move(origin));
    }

    /// After an exchange of `origin` ended: hands the next one held for it
    /// to curl, with the time it waited taken off its own time limit.
    void admitNext(const std::string& origin) {
        auto it = hosts_.find(origin);
        if (it == hosts_.end()) return;
        auto& host = it->second;
        if (host.running > 0) --host.running;
        while (!host.held.empty() && host.running < kMaxConnectionsPerHost) {
            const std::shared_ptr<Held> next = std::move(host.held.front());
            host.held.pop_front();
            if (next->ended || next->connection->isCancelled()) continue;
            next->ended = true;
            if (next->limit) {
                next->limit->cancel();
                const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - next->since);
                if (waited >= next->message.timeout) {
                    reportLater(next->connection, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
                    continue;
                }
                next->message.timeout -= waited;
            }
            hand(std::move(next->message), std::move(next->connection), origin);
            return;  // hand() may fail at once and admit the next itself
        }
        if (host.running == 0 && host.held.empty()) hosts_.erase(it);
    }

    void hand(HttpMessage message, std::shared_ptr<HttpConnection> connection, std::string origin) {
        auto transfer = std::make_unique<Transfer>();
        transfer->worker = this;
        transfer->origin = std::move(origin);
        transfer->message = std::move(message);
        transfer->connection = std::move(connection);
        transfer->easy = takeHandle();
        transfer->headers = headerList(transfer->message);
        CURL* easy = transfer->easy;
        if (isHttps(transfer->message.url)) transfer->security = DeviceContext::shared().transportSecurity();
        configure(easy, transfer->message, transfer->headers, transfer->security.get());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Worker::onData);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Worker::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Worker::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &Worker::onCloseSocket);
        curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
        ++hosts_[transfer->origin].running;
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
            reportLater(transfer->connection, "could not start");
            admitNext(transfer->origin);
            return;
        }
        byConnection_[transfer->connection->identifier()] = easy;
        transfers_[easy] = std::move(transfer);
    }

    void finish(CURL* easy, CURLcode result) {
        auto it = transfers_.find(easy);
        if (it == transfers_.end()) return;
        auto transfer = std::move(it->second);
        transfers_.erase(it);
        byConnection_.erase(transfer->connection->identifier());
        curl_multi_remove_handle(multi_, easy);
        returnHandle(*transfer);
        admitNext(transfer->origin);
        if (transfer->tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
            reportFailure(transfer->connection, tooLargeText(transfer->message.maxResponseBytes));
        } else if (result == CURLE_OK && !transfer->responseReported) {
            // libcurl ends an exchange whose reply stopped inside its header
            // without an error; no reply came, so it is a failure.
            reportFailure(transfer->connection, "the reply ended inside its header");
        } else if (result == CURLE_OK) {
            post(transfer->connection, [](HttpConnectionDelegate& d, const std::shared_ptr<HttpConnection>& c) {
                d.connectionDidFinishLoading(c);
            });
        } else {
            reportFailure(transfer->connection, curl_easy_strerror(result));
        }
    }

    void drop(const std::shared_ptr<HttpConnection>& connection) {
        auto it = byConnection_.find(connection->identifier());
        if (it == byConnection_.end()) return;
        CURL* easy = it->second;
        byConnection_.erase(it);
        curl_multi_remove_handle(multi_, easy);
        auto transfer = transfers_.find(easy);
        if (transfer == transfers_.end()) return;
        const std::string origin = transfer->second->origin;
        returnHandle(*transfer->second);
        transfers_.erase(transfer);
        admitNext(origin);
    }

    /// Easy handles are kept for the next exchanges: a handle is reset
    /// before each, so nothing of an earlier exchange carries over.
    CURL* takeHandle() {
        if (spareHandles_.empty()) return curl_easy_init();
        CURL* easy = spareHandles_.back();
        spareHandles_.pop_back();
        curl_easy_reset(easy);
        return easy;
    }

    void returnHandle(Transfer& transfer) {
        if (transfer.easy == nullptr) return;
        if (spareHandles_.size() < kSpareHandles) {
            spareHandles_.push_back(transfer.easy);
        } else {
            curl_easy_cleanup(transfer.easy);
        }
        transfer.easy = nullptr;
    }

    /// Lets curl act on a socket (or on its timer: CURL_SOCKET_TIMEOUT), then
    /// ends the exchanges it finished and delivers their events.
    void act(curl_socket_t socket, int events) {
        int running = 0;
        curl_multi_socket_action(multi_, socket, events, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
        }
        deliver();
    }

    /// curl's socket callback: what a socket waits for now.
    static int onSocket(CURL* /*easy*/, curl_socket_t socket, int what, void* self, void* /*socketData*/) {
        auto& worker = *static_cast<Worker*>(self);
        if (what == CURL_POLL_REMOVE) {
            // A connection between exchanges: it stays registered with the
            // reactor (curl takes it up again for the next exchange to its
            // host) until curl closes it (onCloseSocket).
            if (auto it = worker.watches_.find(socket); it != worker.watches_.end()) it->second->wanted = 0;
            return 0;
        }
        auto& watch = worker.watches_[socket];
        if (!watch) {
            try {
                watch = std::make_shared<Watch>(worker.io_, socket);
            } catch (const std::exception&) {
                // The reactor cannot watch it: curl ends the exchange.
                worker.watches_.erase(socket);
                return -1;
            }
        }
        watch->wanted = what;
        worker.arm(socket, watch);
        return 0;
    }

    /// curl's close callback, the end of a socket: its registration goes
    /// first, so that the number can be reused.
    static int onCloseSocket(void* self, curl_socket_t socket) {
        static_cast<Worker*>(self)->forget(socket);
        return ::close(socket);
    }

    void forget(curl_socket_t socket) {
        auto it = watches_.find(socket);
        if (it == watches_.end()) return;
        auto watch = std::move(it->second);
        watches_.erase(it);
        watch->wanted = 0;
        watch->descriptor.release();  // ends its waits; curl closes the socket
    }

    /// Waits for the directions curl wants and is not waiting on already.
    /// A wait that starts re-arms the socket in the reactor, which reports
    /// one that is ready already (curl left data unread) at once.
    void arm(curl_socket_t socket, const std::shared_ptr<Watch>& watch) {
        if ((watch->wanted & CURL_POLL_IN) != 0 && !watch->reading) {
            watch->reading = true;
            wait(socket, watch, boost::asio::posix::descriptor_base::wait_read);
        }
        if ((watch->wanted & CURL_POLL_OUT) != 0 && !watch->writing) {
            watch->writing = true;
            wait(socket, watch, boost::asio::posix::descriptor_base::wait_write);
        }
    }

    void wait(curl_socket_t socket, const std::shared_ptr<Watch>& watch,
              boost::asio::posix::descriptor_base::wait_type type) {
        auto done = [this, socket, watch, type](const boost::system::error_code& error) {
            const bool reading = type == boost::asio::posix::descriptor_base::wait_read;
            (reading ? watch->reading : watch->writing) = false;
            if (error == boost::asio::error::operation_aborted) return;
            // A socket curl forgot meanwhile, or whose number it reused, is
            // no longer this watch's.
            auto it = watches_.find(socket);
            if (it == watches_.end() || it->second != watch) return;
            if ((watch->wanted & (reading ? CURL_POLL_IN : CURL_POLL_OUT)) == 0) return;
            act(socket, error ? CURL_CSELECT_ERR : reading ? CURL_CSELECT_IN : CURL_CSELECT_OUT);
            it = watches_.find(socket);
            if (it != watches_.end() && it->second == watch) arm(socket, watch);
        };
        watch->descriptor.async_wait(type, std::move(done));
    }

    /// curl's timer callback: act on CURL_SOCKET_TIMEOUT after `ms`
    /// milliseconds (0: in the next turn), or never (-1). curl moves its
    /// deadline on almost every call, and moving the loop's timer costs a
    /// system call, so the timer is only ever moved earlier; when it fires
    /// before a later deadline it waits again.
    static int onTimer(CURLM* /*multi*/, long ms, void* self) {
        auto& worker = *static_cast<Worker*>(self);
        worker.deadline_.reset();
        if (ms < 0) return 0;
        if (ms == 0) {
            if (!worker.timeoutQueued_) {
                worker.timeoutQueued_ = true;
                boost::asio::post(worker.io_, [&worker] {
                    worker.timeoutQueued_ = false;
                    worker.act(CURL_SOCKET_TIMEOUT, 0);
                });
            }
            return 0;
        }
        worker.deadline_ = Clock::now() + std::chrono::milliseconds(ms);
        worker.armTimer();
        return 0;
    }

    void armTimer() {
        if (!deadline_ || (armedFor_ && *armedFor_ <= *deadline_)) return;
        armedFor_ = deadline_;
        timer_.expires_at(*deadline_);
        timer_.async_wait([this](const boost::system::error_code& error) {
            if (error == boost::asio::error::operation_aborted) return;
            armedFor_.reset();
            if (!deadline_) return;
            if (Clock::now() < *deadline_) {
                armTimer();
                return;
            }
            deadline_.reset();
            act(CURL_SOCKET_TIMEOUT, 0);
        });
    }

    using Clock = boost::asio::steady_timer::clock_type;
    boost::asio::io_context& io_;
    boost::asio::steady_timer timer_;
    std::optional<Clock::time_point> deadline_;  // when curl wants its timeout action
    std::optional<Clock::time_point> armedFor_;  // what timer_ waits for
    bool timeoutQueued_ = false;                 // an action for a 0 ms timeout is queued
    CURLM* multi_ = nullptr;
    std::map<CURL*, std::unique_ptr<Transfer>> transfers_;
    std::map<std::uint64_t, CURL*> byConnection_;
    std::map<curl_socket_t, std::shared_ptr<Watch>> watches_;
    struct Host {
        long running = 0;  // exchanges curl has
        std::deque<std::shared_ptr<Held>> held;
    };
    std::map<std::string, Host> hosts_;
    std::vector<std::function<void()>> outbox_;
    static constexpr std::size_t kSpareHandles = 64;
    std::vector<CURL*> spareHandles_;
};

HttpTransport& HttpTransport::shared() {
    // Never destroyed, like the main loop it runs on.
    static HttpTransport* transport = new HttpTransport();
    return *transport;
}

HttpTransport::HttpTransport() : worker_(std::make_unique<Worker>()) {}

std::shared_ptr<HttpConnection> HttpTransport::start(HttpMessage message,
                                                     std::shared_ptr<HttpConnectionDelegate> delegate) {
    auto connection = std::make_shared<HttpConnection>(std::move(delegate));
    worker_->add(std::move(message), connection);
    return connection;
}

void HttpTransport::cancel(const std::shared_ptr<HttpConnection>& connection) noexcept {
    if (!connection) return;
    try {
        connection->cancel();
        worker_->cancel(connection);
    } catch (const std::exception&) {
        // Only running out of memory gets here. A connection marked cancelled
        // reports nothing more, even if its exchange was not taken off.
    }
}

std::optional<std::string> HttpTransport::sendSynchronous(const HttpMessage& message, std::string* error) {
    auto fail = [error](std::string reason) -> std::optional<std::string> {
        if (error != nullptr) *error = std::move(reason);
        return std::nullopt;
    };
    if (!hasHttpScheme(message.url)) return fail("unsupported URL");
    if (auto unsafe = unsafeMessageReason(message)) return fail(*unsafe);
    initializeCurl();
    // One handle per thread, so that connections to a host are reused.
    struct Handle {
        CURL* easy = curl_easy_init();
        ~Handle() { curl_easy_cleanup(easy); }
    };
    thread_local Handle handle;
    if (handle.easy == nullptr) return fail("could not start");
    curl_easy_reset(handle.easy);
    curl_slist* headers = headerList(message);
    BoundedBody body;
    body.limit = message.maxResponseBytes;
    std::shared_ptr<const TransportSecurity> security;
    if (isHttps(message.url)) security = DeviceContext::shared().transportSecurity();
    configure(handle.easy, message, headers, security.get());
    curl_easy_setopt(handle.easy, CURLOPT_WRITEFUNCTION, &appendToBody);
    curl_easy_setopt(handle.easy, CURLOPT_WRITEDATA, &body);
    // Whether a final reply's header ended: a reply cut inside its header is
    // no reply, though libcurl reports no error for it.
    bool headerEnded = false;
    curl_easy_setopt(handle.easy, CURLOPT_HEADERFUNCTION, &noteHeaderEnd);
    curl_easy_setopt(handle.easy, CURLOPT_HEADERDATA, &headerEnded);
    const CURLcode result = curl_easy_perform(handle.easy);
    curl_easy_setopt(handle.easy, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    if (body.tooLarge || result == CURLE_FILESIZE_EXCEEDED) return fail(tooLargeText(body.limit));
    if (result != CURLE_OK) return fail(curl_easy_strerror(result));
    if (!headerEnded) return fail("the reply ended inside its header");
    return std::move(body.text);
}

}  // namespace vorn
