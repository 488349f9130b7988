#include "vorn/net/HttpTransport.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/HttpText.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/ServiceHost.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <thread>
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

/// The transport thread and its curl multi handle.
class HttpTransport::Worker {
public:
    Worker() {
        initializeCurl();
        multi_ = curl_multi_init();
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kMaxConnectionsPerHost * 4);
        thread_ = std::thread([this] { loop(); });
    }

    void add(HttpMessage message, std::shared_ptr<HttpConnection> connection) {
        queue(Command{std::move(message), std::move(connection), false});
    }

    void cancel(std::shared_ptr<HttpConnection> connection) { queue(Command{{}, std::move(connection), true}); }

private:
    struct Command {
        HttpMessage message;
        std::shared_ptr<HttpConnection> connection;
        bool cancel = false;
    };

    /// Commands queued while earlier ones wait for the thread ride along
    /// with them: only the first wakes it.
    void queue(Command command) {
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            wake = commands_.empty();
            commands_.push_back(std::move(command));
        }
        if (wake) curl_multi_wakeup(multi_);
    }

    /// One exchange in flight; lives on the transport thread.
    struct Transfer {
        Worker* worker = nullptr;
        HttpMessage message;
        std::shared_ptr<HttpConnection> connection;
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

    /// Queues an event for the connection's delegate. The events that one
    /// turn of the loop produced, for every exchange, go to the main loop
    /// together, in order (see `flush`).
    template <typename Event>
    void post(const std::shared_ptr<HttpConnection>& connection, Event event) {
        outbox_.emplace_back([connection, event = std::move(event)]() mutable {
            if (connection->isCancelled()) return;
            if (auto delegate = connection->delegate()) event(*delegate, connection);
        });
    }

    void flush() {
        if (outbox_.empty()) return;
        MainLoop::shared().post([events = std::move(outbox_)]() mutable {
            for (auto& event : events) event();
        });
        outbox_ = {};
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

    void reportFailure(const std::shared_ptr<HttpConnection>& connection, std::string error) {
        post(connection,
             [error = std::move(error)](HttpConnectionDelegate& d, const std::shared_ptr<HttpConnection>& c) {
            d.didFailWithError(c, error);
        });
    }

    void begin(Command command) {
        if (command.connection->isCancelled()) return;
        if (!hasHttpScheme(command.message.url)) {
            reportFailure(command.connection, "unsupported URL");
            return;
        }
        if (auto unsafe = unsafeMessageReason(command.message)) {
            reportFailure(command.connection, *unsafe);
            return;
        }
        auto transfer = std::make_unique<Transfer>();
        transfer->worker = this;
        transfer->message = std::move(command.message);
        transfer->connection = std::move(command.connection);
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
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
            reportFailure(transfer->connection, "could not start");
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
        if (auto transfer = transfers_.find(easy); transfer != transfers_.end()) returnHandle(*transfer->second);
        transfers_.erase(easy);
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

    void loop() {
        for (;;) {
            std::deque<Command> commands;
            {
                std::lock_guard lock(mutex_);
                commands.swap(commands_);
            }
            for (auto& command : commands) {
                if (command.cancel) {
                    drop(command.connection);
                } else {
                    begin(std::move(command));
                }
            }
            int running = 0;
            curl_multi_perform(multi_, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
                if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
            }
            flush();
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
    }

    CURLM* multi_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::deque<Command> commands_;
    std::map<CURL*, std::unique_ptr<Transfer>> transfers_;
    std::map<std::uint64_t, CURL*> byConnection_;
    std::vector<std::function<void()>> outbox_;  // transport thread only
    static constexpr std::size_t kSpareHandles = 64;
    std::vector<CURL*> spareHandles_;
};

HttpTransport& HttpTransport::shared() {
    // Never destroyed: its thread serves the process until it exits.
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

void HttpTransport::cancel(const std::shared_ptr<HttpConnection>& connection) {
    if (!connection) return;
    connection->cancel();
    worker_->cancel(connection);
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
