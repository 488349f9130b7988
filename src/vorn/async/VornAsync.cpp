#include "vorn/async/VornAsync.h"

#include "vorn/core/JsonAccess.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/realtime/SocketIOTransport.h"

#include <string_view>

namespace vorn::async {
namespace {

/// The codes of one error domain. Messages are generic: the error's own
/// text stays on the `VornError`.
class DomainCategory final : public boost::system::error_category {
public:
    explicit DomainCategory(const char* name) : name_(name) {}
    const char* name() const noexcept override { return name_; }
    std::string message(int code) const override {
        if (std::string_view(name_) == "vorn") {
            if (code >= kVornErrorNilPassword) {
                if (auto error = v_VornUtils::vornErrorWithType(code); error && !error->message().empty()) {
                    return error->message();
                }
            }
            return "service error " + std::to_string(code);
        }
        if (std::string_view(name_) == "vorn.async") {
            switch (code) {
                case kVornAsyncErrorNoResult:
                    return "the operation ended without a result";
                case kVornAsyncErrorChannelClosed:
                    return "the realtime channel ended";
                case kVornAsyncErrorCancelled:
                    return "the wait was cancelled";
                default:
                    break;
            }
        }
        return std::string(name_) + " error " + std::to_string(code);
    }

private:
    const char* name_;
};

const DomainCategory& vornCategory() {
    static const DomainCategory category("vorn");
    return category;
}

const DomainCategory& socketIOCategory() {
    static const DomainCategory category("vorn.socketio");
    return category;
}

const DomainCategory& asyncCategory() {
    static const DomainCategory category("vorn.async");
    return category;
}

const DomainCategory& otherCategory() {
    static const DomainCategory category("vorn.other");
    return category;
}

std::string describe(const VornError& error) {
    std::string text = error.message();
    if (text.empty()) text = error.domain + " " + std::to_string(error.code);
    return text;
}

}  // namespace

const boost::system::error_category& errorCategory(const std::string& domain) {
    if (domain == kVornErrorDomain) return vornCategory();
    if (domain == kSocketIOErrorDomain) return socketIOCategory();
    if (domain == kVornAsyncErrorDomain) return asyncCategory();
    return otherCategory();
}

boost::system::error_code errorCode(const VornError& error) {
    return {error.code, errorCategory(error.domain)};
}

VornErrorException::VornErrorException(VornError error)
    : boost::system::system_error(errorCode(error)), error_(std::move(error)), what_(describe(error_)) {}

const char* VornErrorException::what() const noexcept {
    return what_.c_str();
}

OptionalError errorOf(const std::exception_ptr& failure) {
    if (!failure) return std::nullopt;
    try {
        std::rethrow_exception(failure);
    } catch (const VornErrorException& exception) {
        return exception.error();
    }
}

namespace detail {

VornError asyncError(VornAsyncErrorCode code) {
    VornError error{kVornAsyncErrorDomain, code, {}};
    error.userInfo["error"] = asyncCategory().message(code);
    return error;
}

VornError unknownError() {
    return *v_VornUtils::vornErrorWithType(kVornErrorUnknown);
}

VornBooleanResultBlock doneBlock(Report<> report) {
    return [report = std::move(report)](bool succeeded, const OptionalError& error) {
        if (error) return report.fail(*error);
        if (!succeeded) return report.fail(unknownError());
        report.succeed();
    };
}

VornBooleanResultBlock answerBlock(Report<bool> report) {
    return [report = std::move(report)](bool answer, const OptionalError& error) {
        if (error) return report.fail(*error);
        report.succeed(answer);
    };
}

void startFind(const std::shared_ptr<VornQuery>& query, VornArrayResultBlock cached, Report<VornObjectList> report) {
    auto answer = optionalBlock<VornObjectList>(std::move(report));
    if (query->cachePolicy() != kVornCachePolicyCacheThenNetwork) {
        query->findObjectsInBackgroundWithBlock(std::move(answer));
        return;
    }
    // The cache answers inside the call, the network later.
    auto inCall = std::make_shared<bool>(true);
    query->findObjectsInBackgroundWithBlock(
        [inCall, cached = std::move(cached), answer = std::move(answer)](const std::optional<VornObjectList>& objects,
                                                                         const OptionalError& error) {
        if (!*inCall) return answer(objects, error);
        if (cached) cached(objects, error);
    });
    *inCall = false;
}

void startRun(const std::shared_ptr<VornUrlRequest>& request, const Report<std::string>& report) {
    // The handlers stay on the request for later runs: they hold it weakly.
    std::weak_ptr<VornUrlRequest> weak = request;
    request->setCompletionBlock([weak, report] {
        auto finished = weak.lock();
        report.succeed(finished ? finished->responseData().value_or(std::string()) : std::string());
    });
    request->setFailedBlock([weak, report] {
        auto error = *v_VornUtils::vornErrorWithType(kVornErrorConnectFailed);
        if (auto failed = weak.lock(); failed && !failed->errorDescription().empty()) {
            error.userInfo["error"] = failed->errorDescription();
        }
        report.fail(error);
    });
    request->startAsyncConnection();
}

}  // namespace detail

// --- EventChannel -------------------------------------------------------------

std::shared_ptr<EventChannel> EventChannel::attach(std::shared_ptr<VornEvent> event,
                                                   std::weak_ptr<VornEventDelegate> listener) {
    auto channel = std::make_shared<EventChannel>(PrivateTag{}, std::move(event), std::move(listener));
    channel->event_->setDelegate(channel);
    return channel;
}

EventChannel::EventChannel(PrivateTag, std::shared_ptr<VornEvent> event, std::weak_ptr<VornEventDelegate> listener)
    : event_(std::move(event)), listener_(std::move(listener)) {}

// Waiters still queued complete with kVornAsyncErrorNoResult as they go.
EventChannel::~EventChannel() = default;

void EventChannel::startListening(detail::Report<> report) {
    if (listening_) return report.succeed();
    listenWaiters_.push_back(std::move(report));
    event_->start();
}

void EventChannel::takeNotice(detail::Report<Notice> report) {
    if (!notices_.empty()) {
        Notice notice = std::move(notices_.front());
        notices_.pop_front();
        return report.succeed(std::move(notice));
    }
    noticeWaiters_.push_back(std::move(report));
}

void EventChannel::cancel() {
    failWaiters(detail::asyncError(kVornAsyncErrorCancelled));
}

void EventChannel::failWaiters(const VornError& error) {
    auto listenWaiters = std::exchange(listenWaiters_, {});
    auto noticeWaiters = std::exchange(noticeWaiters_, {});
    for (const auto& waiter : listenWaiters) waiter.fail(error);
    for (const auto& waiter : noticeWaiters) waiter.fail(error);
}

void EventChannel::vornEventDidConnect(const std::shared_ptr<VornEvent>& event) {
    if (auto listener = listener_.lock()) listener->vornEventDidConnect(event);
}

void EventChannel::vornEventCanStartListen(const std::shared_ptr<VornEvent>& event) {
    listening_ = true;
    if (auto listener = listener_.lock()) listener->vornEventCanStartListen(event);
    auto waiters = std::exchange(listenWaiters_, {});
    for (const auto& waiter : waiters) waiter.succeed();
}

void EventChannel::vornEvent(const std::shared_ptr<VornEvent>& event, const nlohmann::json& message) {
    if (auto listener = listener_.lock()) listener->vornEvent(event, message);
    Notice notice;
    if (message.is_string()) {
        notice.text = message.get<std::string>();
        notice.value = jsonutil::parse(notice.text);
        if (notice.value.is_discarded()) notice.value = message;
    } else {
        notice.value = message;
        notice.text = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    if (!noticeWaiters_.empty()) {
        auto waiter = std::move(noticeWaiters_.front());
        noticeWaiters_.pop_front();
        return waiter.succeed(std::move(notice));
    }
    notices_.push_back(std::move(notice));
}

void EventChannel::vornEvent(const std::shared_ptr<VornEvent>& event, const VornError& error) {
    if (auto listener = listener_.lock()) listener->vornEvent(event, error);
    // A failed handshake reports no disconnect.
    const bool handshakeFailed =
        error.code == kSocketIOErrorHandshakeFailed || error.code == kSocketIOErrorHandshakeForbidden;
    if (handshakeFailed && !event->reconnection().enabled) failWaiters(error);
}

void EventChannel::vornEventDidDisConnect(const std::shared_ptr<VornEvent>& event, const OptionalError& error) {
    listening_ = false;
    if (auto listener = listener_.lock()) listener->vornEventDidDisConnect(event, error);
    if (error && event->reconnection().enabled) return;  // an attempt follows
    failWaiters(error.value_or(detail::asyncError(kVornAsyncErrorChannelClosed)));
}

void EventChannel::vornEventReconnectAttempt(const std::shared_ptr<VornEvent>& event, int attempt,
                                             const OptionalError& outcome, double nextDelay) {
    if (auto listener = listener_.lock()) listener->vornEventReconnectAttempt(event, attempt, outcome, nextDelay);
    // The attempts are over when none runs or waits any more (a delay of 0
    // may still be followed by one).
    if (outcome && !event->isReconnecting()) failWaiters(*outcome);
}

void EventChannel::vornEventDidStop(const std::shared_ptr<VornEvent>& event) {
    listening_ = false;
    if (auto listener = listener_.lock()) listener->vornEventDidStop(event);
    failWaiters(detail::asyncError(kVornAsyncErrorChannelClosed));
}

}  // namespace vorn::async

namespace vorn {

boost::system::error_code make_error_code(VornErrorCode code) {
    return {static_cast<int>(code), async::errorCategory(kVornErrorDomain)};
}

namespace async {
boost::system::error_code make_error_code(VornAsyncErrorCode code) {
    return {static_cast<int>(code), errorCategory(kVornAsyncErrorDomain)};
}
}  // namespace async

}  // namespace vorn
