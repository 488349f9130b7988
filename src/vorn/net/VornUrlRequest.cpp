#include "vorn/net/VornUrlRequest.h"

#include "vorn/core/MainLoop.h"
#include "vorn/core/Utf8.h"

#include <strings.h>

#include <cmath>

namespace vorn {
namespace {
constexpr const char* kAcceptEncoding = "gzip,deflate,sdch";
}

VornUrlRequest::VornUrlRequest(Passkey, std::string url) : url_(std::move(url)) {}

VornUrlRequest::~VornUrlRequest() {
    if (vConnection_) HttpTransport::shared().cancel(vConnection_);
}

std::shared_ptr<VornUrlRequest> VornUrlRequest::initWithUrl(const std::string& url) {
    return std::make_shared<VornUrlRequest>(Passkey{}, url);
}

std::shared_ptr<VornUrlRequest> VornUrlRequest::requestWithUrl(const std::string& url) {
    return initWithUrl(url);
}

void VornUrlRequest::addValue(const std::string& value, const std::string& field) {
    std::lock_guard lock(lock_);
    for (auto& [name, existing] : headers_) {
        if (::strcasecmp(name.c_str(), field.c_str()) == 0) {
            existing += "," + value;
            return;
        }
    }
    headers_.emplace_back(field, value);
}

void VornUrlRequest::setPostBody(std::string body) {
    setPostBody(std::make_shared<const std::string>(std::move(body)));
}

void VornUrlRequest::setPostBody(std::shared_ptr<const std::string> body) {
    std::lock_guard lock(lock_);
    body_ = body ? std::move(body) : std::make_shared<const std::string>();
    isSetHttpBody_ = true;
}

void VornUrlRequest::setPostValue(const std::string& value, const std::string& key) {
    if (value.empty() || key.empty()) return;
    std::lock_guard lock(lock_);
    vMutableDic_[key] = value;
}

void VornUrlRequest::setHttpMethod(const std::string& method) {
    std::lock_guard lock(lock_);
    httpMethod_ = method;
}

std::string VornUrlRequest::postString() const {
    std::lock_guard lock(lock_);
    std::string text;
    for (const auto& [key, value] : vMutableDic_) {
        text += key;
        text += '=';
        text += value;
        text += '&';
    }
    return text;
}

void VornUrlRequest::setTimeoutInterval(double seconds) {
    std::lock_guard lock(lock_);
    timeout_ = seconds > 0 && seconds < 1e9 ? std::chrono::milliseconds(std::llround(seconds * 1000.0))
                                            : std::chrono::milliseconds(0);
    if (seconds > 0 && timeout_.count() == 0) timeout_ = std::chrono::milliseconds(1);
}

double VornUrlRequest::timeoutInterval() const {
    std::lock_guard lock(lock_);
    return static_cast<double>(timeout_.count()) / 1000.0;
}

void VornUrlRequest::setMaximumResponseBytes(std::uint64_t bytes) {
    std::lock_guard lock(lock_);
    maxResponseBytes_ = bytes;
}

std::uint64_t VornUrlRequest::maximumResponseBytes() const {
    std::lock_guard lock(lock_);
    return maxResponseBytes_;
}

void VornUrlRequest::setCookies(std::vector<VornHttpCookie> cookies) {
    std::lock_guard lock(lock_);
    cookies_ = std::move(cookies);
}

long VornUrlRequest::statusCode() const {
    std::lock_guard lock(lock_);
    return statusCode_;
}

std::string VornUrlRequest::errorDescription() const {
    std::lock_guard lock(lock_);
    return errorDescription_;
}

void VornUrlRequest::setResponseBlock(ResponseBlock block) {
    std::lock_guard lock(lock_);
    responseBlock_ = std::move(block);
}

void VornUrlRequest::setCompletionBlock(CompletionBlock block) {
    std::lock_guard lock(lock_);
    completeBlock_ = std::move(block);
}

void VornUrlRequest::setFailedBlock(FailedBlock block) {
    std::lock_guard lock(lock_);
    failetedBlock_ = std::move(block);
}

void VornUrlRequest::getProgressBlock(ProgressBlock block) {
    std::lock_guard lock(lock_);
    progressBlock_ = std::move(block);
}

void VornUrlRequest::startAsyncConnection() {
    std::lock_guard lock(lock_);
    start();
}

void VornUrlRequest::start() {
    std::lock_guard lock(lock_);
    MainLoop::shared().post([self = shared_from_this(), ticket = ++startTicket_] { self->runAsynchronously(ticket); });
}

void VornUrlRequest::prepareMessage() {
    addValue(kAcceptEncoding, "Accept-Encoding");
    if (!isSetHttpBody_) body_ = std::make_shared<const std::string>(postString());
}

const std::string& VornUrlRequest::emptyBody() {
    static const std::string empty;
    return empty;
}

HttpMessage VornUrlRequest::message() const {
    HttpMessage outgoing{url_, httpMethod_, headers_, body_, timeout_, maxResponseBytes_};
    if (!cookies_.empty()) {
        std::string line;
        for (const auto& cookie : cookies_) {
            if (!line.empty()) line += "; ";
            // A name or value holding a separator would smuggle other
            // cookies in; a NUL makes the header unsafe, so the run fails.
            const bool broken = cookie.name.empty() || cookie.name.find_first_of(";,= \t") != std::string::npos ||
                                cookie.value.find_first_of(";,") != std::string::npos;
            line += broken ? std::string(1, '\0') : cookie.name + "=" + cookie.value;
        }
        outgoing.headers.emplace_back("Cookie", std::move(line));
    }
    return outgoing;
}

void VornUrlRequest::runAsynchronously(std::uint64_t ticket) {
    std::lock_guard lock(lock_);
    if (ticket <= cancelledTicket_) return;
    prepareMessage();
    // A new run starts with an empty accumulator: bytes of a replaced run never leak into it.
    vMutableData_.clear();
    statusCode_ = 0;
    errorDescription_.clear();
    if (vConnection_) {
        HttpTransport::shared().cancel(vConnection_);
        vConnection_.reset();
    }
    vConnection_ = HttpTransport::shared().start(message(), shared_from_this());
}

void VornUrlRequest::startSyncConnection() {
    HttpMessage outgoing;
    {
        std::lock_guard lock(lock_);
        prepareMessage();
        outgoing = message();
    }
    std::string error;
    auto received = HttpTransport::sendSynchronous(outgoing, &error);
    if (!received) {
        std::lock_guard lock(lock_);
        errorDescription_ = error.empty() ? "the request failed" : error;
        return;
    }
    vMutableData_ = std::move(*received);
    responseData_ = vMutableData_;
    responseString_ = utf8::isValid(vMutableData_) ? vMutableData_ : std::string();
}

void VornUrlRequest::cancle() {
    std::lock_guard lock(lock_);
    cancelConnection();
}

void VornUrlRequest::cancelConnection() {
    CompletionBlock completion;
    FailedBlock failed;
    ProgressBlock progress;
    ResponseBlock response;
    {
        std::lock_guard lock(lock_);
        // Runs already scheduled but not begun never start.
        cancelledTicket_ = startTicket_;
        // The cancelled connection stays until the next start or destruction.
        if (vConnection_) HttpTransport::shared().cancel(vConnection_);
        // Nothing will be reported: whatever the handlers hold is let go (outside the lock).
        completion.swap(completeBlock_);
        failed.swap(failetedBlock_);
        progress.swap(progressBlock_);
        response.swap(responseBlock_);
    }
}

bool VornUrlRequest::isRunning() const {
    std::lock_guard lock(lock_);
    return vConnection_ && !vConnection_->isCancelled();
}

bool VornUrlRequest::isCurrent(const std::shared_ptr<HttpConnection>& connection) const {
    std::lock_guard lock(lock_);
    return connection && connection == vConnection_ && !connection->isCancelled();
}

void VornUrlRequest::didSendBodyData(const std::shared_ptr<HttpConnection>& connection, std::int64_t totalBytesWritten,
                                     std::int64_t totalBytesExpectedToWrite) {
    if (!isCurrent(connection) || totalBytesExpectedToWrite == 0) return;
    ProgressBlock progress;
    {
        std::lock_guard lock(lock_);
        progress = progressBlock_;
    }
    if (progress) progress(static_cast<float>(totalBytesWritten) / static_cast<float>(totalBytesExpectedToWrite));
}

void VornUrlRequest::didReceiveResponse(const std::shared_ptr<HttpConnection>& connection, long statusCode) {
    if (!isCurrent(connection)) return;
    ResponseBlock response;
    {
        std::lock_guard lock(lock_);
        statusCode_ = statusCode;
        response = responseBlock_;
    }
    // The header starts the body afresh.
    vMutableData_.clear();
    if (response) {
        auto self = shared_from_this();
        response(statusCode);
    }
}

void VornUrlRequest::didReceiveData(const std::shared_ptr<HttpConnection>& connection, std::string data) {
    if (!isCurrent(connection)) return;
    if (vMutableData_.empty()) {
        vMutableData_ = std::move(data);
    } else {
        vMutableData_ += data;
    }
}

void VornUrlRequest::didFailWithError(const std::shared_ptr<HttpConnection>& connection, const std::string& error) {
    if (!isCurrent(connection)) return;
    {
        std::lock_guard lock(lock_);
        errorDescription_ = error.empty() ? "the request failed" : error;
    }
    // Keep this request alive through the handler even if the connection held the last reference.
    auto self = shared_from_this();
    auto handlers = endRun(connection);
    if (handlers.failed) handlers.failed();
}

void VornUrlRequest::connectionDidFinishLoading(const std::shared_ptr<HttpConnection>& connection) {
    if (!isCurrent(connection)) return;
    auto self = shared_from_this();
    responseString_ = utf8::isValid(vMutableData_) ? vMutableData_ : std::string();
    responseData_ = vMutableData_;
    auto handlers = endRun(connection);
    if (handlers.completion) handlers.completion();
}

VornUrlRequest::Handlers VornUrlRequest::endRun(const std::shared_ptr<HttpConnection>& connection) {
    // The run is over: the connection lets go of this request. The handlers
    // stay for a later run; the ones called now are copies, so a handler
    // that starts the request again or replaces the handlers is safe.
    std::lock_guard lock(lock_);
    if (vConnection_ == connection) {
        connection->release();
        vConnection_.reset();
    }
    return Handlers{completeBlock_, failetedBlock_};
}

}  // namespace vorn
