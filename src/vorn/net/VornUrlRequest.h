#pragma once

#include "vorn/net/HttpTransport.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

/// An HTTP cookie sent with a request: "name=value" in its "Cookie" header.
struct VornHttpCookie {
    /// The cookie's name.
    std::string name;
    /// The cookie's value.
    std::string value;

    /// Cookies are equal when name and value are equal.
    bool operator==(const VornHttpCookie&) const = default;
};

/// One HTTP request (URL, method, headers, body), run once, either
/// asynchronously with its handlers called on the main loop or
/// synchronously on the calling thread. The response bytes stay on the
/// request for the caller to read. HTTP status codes are not judged here:
/// callers read the outcome from the body.
///
/// A request is always owned by a `std::shared_ptr` (use `initWithUrl`).
/// Its handlers stay set for later runs until the request is cancelled or
/// destroyed; a handler that needs the request should capture it weakly
/// (the running connection keeps it alive), or the two keep each other.
///
/// A header name or value holding CR, LF or NUL is never sent: such a
/// request fails at once (the failure handler runs; a synchronous run
/// leaves `responseData` absent).
class VornUrlRequest : public HttpConnectionDelegate, public std::enable_shared_from_this<VornUrlRequest> {
public:
    /// Called when a run completed with a response.
    using CompletionBlock = std::function<void()>;
    /// Called when a run failed (no response, or a request that could not be sent).
    using FailedBlock = std::function<void()>;
    /// Called with the fraction of the body sent, 0.0 to 1.0.
    using ProgressBlock = std::function<void(float)>;
    /// Called with the status when the response header has arrived.
    using ResponseBlock = std::function<void(long statusCode)>;

    /// A new request for the URL: method "POST", no headers, no body.
    static std::shared_ptr<VornUrlRequest> initWithUrl(const std::string& url);
    /// The same; a running request is kept alive by its connection, so the
    /// caller need not hold it.
    static std::shared_ptr<VornUrlRequest> requestWithUrl(const std::string& url);

    ~VornUrlRequest() override;

    /// Adds a header value; a second value for the same name (in any case)
    /// is appended to the first after a comma.
    void addValue(const std::string& value, const std::string& field);
    /// Sets the body; form values are then ignored.
    void setPostBody(std::string body);
    /// Sets a body that other requests may share (an upload and its retries).
    void setPostBody(std::shared_ptr<const std::string> body);
    /// Stores a form value, used when no body was set; ignored when either
    /// argument is empty.
    void setPostValue(const std::string& value, const std::string& key);
    /// Sets the method ("POST" by default).
    void setHttpMethod(const std::string& method);
    /// The whole exchange must end within this many seconds (fractions
    /// allowed); 0 or less, the default, leaves the transport's stall limit.
    void setTimeoutInterval(double seconds);
    /// The time limit in seconds; 0 when none is set.
    double timeoutInterval() const;
    /// The most response body bytes accepted: a response that announces or
    /// delivers more fails the run (the failure handler runs, or a
    /// synchronous run leaves `responseData` absent) with
    /// `errorDescription()` "the response is larger than N bytes". 0, the
    /// default, sets no bound.
    void setMaximumResponseBytes(std::uint64_t bytes);
    /// The bound on the response body; 0 when none is set.
    std::uint64_t maximumResponseBytes() const;
    /// Cookies sent in a "Cookie" header; a name or value that would break
    /// the header (";", ",", CR, LF, NUL, or an empty name) fails the request.
    void setCookies(std::vector<VornHttpCookie> cookies);
    /// The form values as "key=value&" pairs, nothing escaped.
    std::string postString() const;

    /// Sets the handler of a completed run, called on the main loop.
    void setCompletionBlock(CompletionBlock block);
    /// Sets the handler of a failed run, called on the main loop.
    void setFailedBlock(FailedBlock block);
    /// Sets the upload-progress handler (fraction of the body sent).
    void getProgressBlock(ProgressBlock block);
    /// Sets the handler of the response header.
    void setResponseBlock(ResponseBlock block);

    /// Starts the asynchronous run; returns at once.
    void startAsyncConnection();
    /// Schedules the asynchronous run on the main loop.
    void start();
    /// Runs the request on the calling thread; calls no handler.
    void startSyncConnection();
    /// Stops the running connection; neither handler is called afterwards.
    void cancle();
    /// The same as `cancle()`.
    void cancelConnection();

    /// The received bytes once a response completed.
    const std::optional<std::string>& responseData() const { return responseData_; }
    /// The received bytes as text; "" until a response completed.
    const std::string& responseString() const { return responseString_; }
    /// The HTTP status of the last response, 0 before one arrived.
    long statusCode() const;
    /// Why the last run failed ("" when it did not).
    std::string errorDescription() const;
    /// Replaces the received bytes.
    void setResponseData(std::optional<std::string> data) { responseData_ = std::move(data); }
    /// Replaces the received text.
    void setResponseString(std::string string) { responseString_ = std::move(string); }

    /// The URL.
    const std::string& url() const { return url_; }
    /// The method.
    const std::string& httpMethod() const { return httpMethod_; }
    /// The headers in the order they were added.
    const std::vector<std::pair<std::string, std::string>>& headers() const { return headers_; }
    /// The body; "" when none was set.
    const std::string& body() const { return body_ ? *body_ : emptyBody(); }
    /// Whether an asynchronous run is in progress.
    bool isRunning() const;

    // Connection events.
    void didSendBodyData(const std::shared_ptr<HttpConnection>& connection, std::int64_t totalBytesWritten,
                         std::int64_t totalBytesExpectedToWrite) override;
    void didReceiveResponse(const std::shared_ptr<HttpConnection>& connection, long statusCode) override;
    void didReceiveData(const std::shared_ptr<HttpConnection>& connection, std::string data) override;
    void didFailWithError(const std::shared_ptr<HttpConnection>& connection, const std::string& error) override;
    void connectionDidFinishLoading(const std::shared_ptr<HttpConnection>& connection) override;

private:
    struct Passkey {};

public:
    /// Made only by `initWithUrl`.
    VornUrlRequest(Passkey, std::string url);

private:
    void runAsynchronously(std::uint64_t ticket);
    void prepareMessage();
    bool isCurrent(const std::shared_ptr<HttpConnection>& connection) const;
    HttpMessage message() const;
    struct Handlers {
        CompletionBlock completion;
        FailedBlock failed;
    };
    Handlers endRun(const std::shared_ptr<HttpConnection>& connection);

    std::string url_;
    std::vector<std::pair<std::string, std::string>> headers_;
    static const std::string& emptyBody();
    std::shared_ptr<const std::string> body_;
    std::string vMutableData_;
    CompletionBlock completeBlock_;
    FailedBlock failetedBlock_;
    ProgressBlock progressBlock_;
    ResponseBlock responseBlock_;
    std::chrono::milliseconds timeout_{0};
    std::uint64_t maxResponseBytes_ = 0;
    std::vector<VornHttpCookie> cookies_;
    long statusCode_ = 0;
    std::string errorDescription_;
    std::shared_ptr<HttpConnection> vConnection_;
    std::map<std::string, std::string> vMutableDic_;
    std::string httpMethod_ = "POST";
    bool isSetHttpBody_ = false;
    // Each start takes a ticket; a cancel voids every ticket taken so far,
    // so a run scheduled before the cancel never starts.
    std::uint64_t startTicket_ = 0;
    std::uint64_t cancelledTicket_ = 0;
    mutable std::recursive_mutex lock_;
    std::optional<std::string> responseData_;
    std::string responseString_;
};

}  // namespace vorn
