#pragma once

// Asio asynchronous operations for every asynchronous call of the library.
//
// Not included by vorn.h: include "vorn/async/VornAsync.h" to use it. Each
// function below starts the same call as the callback form it names and
// takes any Asio completion token: a plain callback, `boost::asio::use_future`,
// `boost::asio::use_awaitable` (C++20 coroutines), `boost::asio::detached`,
// `boost::asio::bind_executor(executor, handler)`, or any token with an
// `async_result` specialization. The callback forms stay as they are.
//
//     auto user = co_await vorn::async::logIn("sean", "correct horse", boost::asio::use_awaitable);
//     co_await vorn::async::save(score, boost::asio::use_awaitable);
//     auto scores = co_await vorn::async::findObjects(query, boost::asio::use_awaitable);
//
// Results. Every operation completes with `void(std::exception_ptr, T...)`:
// one value type per operation (none for writes), the exception empty on
// success. A failure holds a `VornErrorException`: a
// `boost::system::system_error` whose `code()` is the error's code in the
// category of its domain and whose `error()` is the whole `VornError`
// (domain, code, user info, message). So `use_future`'s `get()` and
// `co_await` with `use_awaitable` throw it, and a plain callback reads it with
// `errorOf(exception)`. On failure the values are value-initialised.
//
// Executors. The library reports on the main loop (`MainLoop::shared()`);
// the completion handler then runs on its associated executor, the main
// loop's executor when it has none: at once when the report comes on that
// executor's thread outside the starting call, posted to it otherwise. A
// result that the library reports inside the starting call (a failed check,
// a cached answer) is always posted, never run inside the call. Outstanding
// work is counted on the handler's executor until it runs. Progress and
// cached-answer callbacks are plain callbacks, called as the callback forms
// call them.
//
// An operation whose callback the library lets go without calling it (a
// `VornUser` save, a `VornInstallation` delete, an upload that a new upload
// of the same file replaced, an acknowledgement of a session that was
// destroyed) completes with `kVornAsyncErrorNoResult` of
// `kVornAsyncErrorDomain`.
//
// Boost 1.74 has no `asio::deferred`, no `experimental::deferred` and no
// `as_tuple`; any token that implements `async_result` works (see
// tests/asio for one that defers the start). `redirect_error` needs an
// `error_code` signature and does not apply.

#include "vorn/cloud/VornCloud.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/VornError.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornObjectsBatch.h"
#include "vorn/files/VornFile.h"
#include "vorn/files/VornImage.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/push/VornPush.h"
#include "vorn/query/VornQuery.h"
#include "vorn/realtime/SocketIO.h"
#include "vorn/realtime/VornEvent.h"
#include "vorn/users/VornUser.h"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace vorn::async {

// --- Errors ----------------------------------------------------------------

/// The domain of the errors this layer adds to the library's.
inline constexpr const char* kVornAsyncErrorDomain = "com.vorn.async";

enum VornAsyncErrorCode : int {
    /// The library let go of the operation's callback without calling it.
    kVornAsyncErrorNoResult = 1,
    /// The realtime channel ended while an operation waited on it.
    kVornAsyncErrorChannelClosed = 2,
    /// `EventChannel::cancel` ended the wait.
    kVornAsyncErrorCancelled = 3,
};

/// The category of a domain's codes: "vorn" (`kVornErrorDomain`: the
/// library's codes and the service's), "vorn.socketio" (`kSocketIOErrorDomain`),
/// "vorn.async" (`kVornAsyncErrorDomain`); "vorn.other" for any other domain.
const boost::system::error_category& errorCategory(const std::string& domain);
/// The error's code in the category of its domain.
boost::system::error_code errorCode(const VornError& error);

/// What a failed operation throws or hands to its handler.
class VornErrorException : public boost::system::system_error {
public:
    /// The exception of `error`; its code is `errorCode(error)`.
    explicit VornErrorException(VornError error);

    /// The whole error: domain, code and user info.
    const VornError& error() const noexcept { return error_; }
    /// The error's message ("error" of its user info), or its domain and
    /// code when it has none.
    const char* what() const noexcept override;

private:
    VornError error_;
    std::string what_;
};

/// The `VornError` of a failure that an operation reported: empty for an
/// empty exception; an exception of another type is thrown again.
OptionalError errorOf(const std::exception_ptr& failure);

// --- How an operation completes ---------------------------------------------

namespace detail {

VornError asyncError(VornAsyncErrorCode code);
VornError unknownError();

/// The state of one running operation that the library's callback reaches:
/// the first report completes it; later ones are ignored.
template <typename... Ts>
class Pending {
public:
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    virtual ~Pending() = default;

    void complete(std::exception_ptr failure, Ts... values) {
        if (done_.exchange(true)) return;
        deliver(std::move(failure), std::tuple<Ts...>(std::move(values)...), starting_.load());
    }
    void beginStart() { starting_ = true; }
    void endStart() { starting_ = false; }
    /// Completes nothing, ever: the starting call failed and says so itself.
    void abandon() { done_ = true; }

protected:
    Pending() = default;
    /// Marks the operation complete; false when it was already.
    bool claim() { return !done_.exchange(true); }
    virtual void deliver(std::exception_ptr failure, std::tuple<Ts...> values, bool duringStart) = 0;

private:
    std::atomic<bool> done_{false};
    std::atomic<bool> starting_{false};
};

/// `Pending` with the completion handler and the work it holds on the
/// handler's executor.
template <typename Handler, typename... Ts>
class HandlerPending final : public Pending<Ts...> {
public:
    using Executor = boost::asio::associated_executor_t<Handler, boost::asio::io_context::executor_type>;

    explicit HandlerPending(Handler handler)
        : work_(boost::asio::get_associated_executor(handler, MainLoop::shared().context().get_executor())),
          handler_(std::move(handler)) {}
    HandlerPending(const HandlerPending&) = delete;
    HandlerPending& operator=(const HandlerPending&) = delete;
    ~HandlerPending() override {
        // Every copy of the library's callback is gone and none was called.
        if (this->claim()) {
            deliverNow(std::make_exception_ptr(VornErrorException(asyncError(kVornAsyncErrorNoResult))),
                       std::tuple<Ts...>(), true);
        }
    }

private:
    void deliver(std::exception_ptr failure, std::tuple<Ts...> values, bool duringStart) override {
        deliverNow(std::move(failure), std::move(values), duringStart);
    }
    void deliverNow(std::exception_ptr failure, std::tuple<Ts...> values, bool duringStart) {
        auto work = std::move(work_);
        const Executor executor = work.get_executor();
        auto call =
            [handler = std::move(handler_), failure = std::move(failure), values = std::move(values)]() mutable {
            std::apply([&](Ts&... value) { std::move(handler)(std::move(failure), std::move(value)...); }, values);
        };
        if (duringStart) {
            boost::asio::post(executor, std::move(call));
        } else {
            boost::asio::dispatch(executor, std::move(call));
        }
        work.reset();
    }

    boost::asio::executor_work_guard<Executor> work_;
    Handler handler_;
};

/// The reporting end of an operation, copied into the library's callbacks.
template <typename... Ts>
class Report {
public:
    explicit Report(std::shared_ptr<Pending<Ts...>> pending) : pending_(std::move(pending)) {}

    void succeed(Ts... values) const { pending_->complete(nullptr, std::move(values)...); }
    void fail(const VornError& error) const {
        pending_->complete(std::make_exception_ptr(VornErrorException(error)), Ts()...);
    }

private:
    std::shared_ptr<Pending<Ts...>> pending_;
};

/// Makes the operation's state for the handler and runs `start` with its
/// reporting end.
template <typename... Ts, typename Handler, typename Start>
void launch(Handler&& handler, Start& start) {
    auto pending = std::make_shared<HandlerPending<std::decay_t<Handler>, Ts...>>(std::forward<Handler>(handler));
    pending->beginStart();
    try {
        start(Report<Ts...>(pending));
    } catch (...) {
        pending->abandon();
        throw;
    }
    pending->endStart();
}

/// An operation of signature `void(std::exception_ptr, Ts...)` that `start`
/// begins with a `Report<Ts...>`.
template <typename... Ts, typename CompletionToken, typename Start>
auto initiate(CompletionToken& token, Start start) {
    return boost::asio::async_initiate<CompletionToken, void(std::exception_ptr, Ts...)>(
        [](auto&& handler, Start start) { launch<Ts...>(std::forward<decltype(handler)>(handler), start); }, token,
        std::move(start));
}

/// (succeeded, error) callbacks whose `false` always comes with an error.
VornBooleanResultBlock doneBlock(Report<> report);
/// (answer, error) callbacks whose `false` may come without an error.
VornBooleanResultBlock answerBlock(Report<bool> report);

/// (value, error) callbacks: the value when there is no error.
template <typename T>
std::function<void(const T&, const OptionalError&)> valueBlock(Report<T> report) {
    return [report = std::move(report)](const T& value, const OptionalError& error) {
        if (error) return report.fail(*error);
        report.succeed(value);
    };
}

/// (optional value, error) callbacks: the value when there is no error.
template <typename T>
std::function<void(const std::optional<T>&, const OptionalError&)> optionalBlock(Report<T> report) {
    return [report = std::move(report)](const std::optional<T>& value, const OptionalError& error) {
        if (error) return report.fail(*error);
        if (!value) return report.fail(unknownError());
        report.succeed(*value);
    };
}

void startFind(const std::shared_ptr<VornQuery>& query, VornArrayResultBlock cached, Report<VornObjectList> report);
void startRun(const std::shared_ptr<VornUrlRequest>& request, const Report<std::string>& report);

}  // namespace detail

// --- Objects: VornObject and its subclasses (VornRole, VornInstallation, VornUser) ---

/// `saveInBackgroundWithResultBlock`: creates the object; its identity is
/// set when the handler runs. A `VornUser` is created only by `signUp`: its
/// save completes with `kVornAsyncErrorNoResult`.
template <typename CompletionToken>
auto save(std::shared_ptr<VornObject> object, CompletionToken&& token) {
    return detail::initiate<>(token, [object = std::move(object)](detail::Report<> report) {
        object->saveInBackgroundWithResultBlock(detail::doneBlock(std::move(report)));
    });
}

/// `updateInBackgroundWithResultBlock`: sends the pending changes
/// (`kVornErrorNoneObjectId` without an object id).
template <typename CompletionToken>
auto update(std::shared_ptr<VornObject> object, CompletionToken&& token) {
    return detail::initiate<>(token, [object = std::move(object)](detail::Report<> report) {
        object->updateInBackgroundWithResultBlock(detail::doneBlock(std::move(report)));
    });
}

/// `deleteInBackgroundWithBlock` (a `VornInstallation` is never deleted:
/// `kVornAsyncErrorNoResult`).
template <typename CompletionToken>
auto deleteObject(std::shared_ptr<VornObject> object, CompletionToken&& token) {
    return detail::initiate<>(token, [object = std::move(object)](detail::Report<> report) {
        object->deleteInBackgroundWithBlock(detail::doneBlock(std::move(report)));
    });
}

/// `VornObjectsBatch::batchObjectsInBackgroundWithResultBlock`.
template <typename CompletionToken>
auto sendBatch(std::shared_ptr<VornObjectsBatch> batch, CompletionToken&& token) {
    return detail::initiate<>(token, [batch = std::move(batch)](detail::Report<> report) {
        batch->batchObjectsInBackgroundWithResultBlock(detail::doneBlock(std::move(report)));
    });
}

// --- Queries ---------------------------------------------------------------

/// `findObjectsInBackgroundWithBlock`: the objects found (possibly none).
/// With `kVornCachePolicyCacheThenNetwork` the operation completes with the
/// network's answer; the cached one goes to `cached` (below) or nowhere.
template <typename CompletionToken>
auto findObjects(std::shared_ptr<VornQuery> query, CompletionToken&& token) {
    return detail::initiate<VornObjectList>(token, [query = std::move(query)](detail::Report<VornObjectList> report) {
        detail::startFind(query, nullptr, std::move(report));
    });
}

/// The same; with `kVornCachePolicyCacheThenNetwork`, `cached` gets the
/// cached answer (called as the callback form calls it: inside this call).
template <typename CompletionToken>
auto findObjects(std::shared_ptr<VornQuery> query, VornArrayResultBlock cached, CompletionToken&& token) {
    return detail::initiate<VornObjectList>(
        token, [query = std::move(query), cached = std::move(cached)](detail::Report<VornObjectList> report) mutable {
            detail::startFind(query, std::move(cached), std::move(report));
        });
}

/// `countObjectsInBackgroundWithBlock`.
template <typename CompletionToken>
auto countObjects(std::shared_ptr<VornQuery> query, CompletionToken&& token) {
    return detail::initiate<int>(token, [query = std::move(query)](detail::Report<int> report) {
        query->countObjectsInBackgroundWithBlock(detail::valueBlock<int>(std::move(report)));
    });
}

/// `getObjectInBackgroundWithId`: the stored object (`kVornErrorNoneObject`
/// when there is none).
template <typename CompletionToken>
auto getObject(std::shared_ptr<VornQuery> query, std::string objectId, CompletionToken&& token) {
    return detail::initiate<std::shared_ptr<VornObject>>(
        token,
        [query = std::move(query), objectId = std::move(objectId)](detail::Report<std::shared_ptr<VornObject>> report) {
        query->getObjectInBackgroundWithId(objectId,
                                           detail::valueBlock<std::shared_ptr<VornObject>>(std::move(report)));
        });
}

// --- Users -----------------------------------------------------------------

/// `signUpInBackgroundWithBlock`: the user becomes the current user.
template <typename CompletionToken>
auto signUp(std::shared_ptr<VornUser> user, CompletionToken&& token) {
    return detail::initiate<>(token, [user = std::move(user)](detail::Report<> report) {
        user->signUpInBackgroundWithBlock(detail::doneBlock(std::move(report)));
    });
}

/// `logInWithUsernameInBackground`: the new current user.
template <typename CompletionToken>
auto logIn(std::string username, std::string password, CompletionToken&& token) {
    return detail::initiate<std::shared_ptr<VornUser>>(
        token, [username = std::move(username),
                password = std::move(password)](detail::Report<std::shared_ptr<VornUser>> report) {
            VornUser::logInWithUsernameInBackground(username, password,
                                                    detail::valueBlock<std::shared_ptr<VornUser>>(std::move(report)));
        });
}

/// `signUpInBackgroundWithAuthorDictionary`: the new current user.
template <typename CompletionToken>
auto signUpWithAuthorDictionary(VornValueMap authorDictionary, int platform, CompletionToken&& token) {
    return detail::initiate<std::shared_ptr<VornUser>>(
        token,
        [authorDictionary = std::move(authorDictionary), platform](detail::Report<std::shared_ptr<VornUser>> report) {
        VornUser::signUpInBackgroundWithAuthorDictionary(
            authorDictionary, platform, detail::valueBlock<std::shared_ptr<VornUser>>(std::move(report)));
        });
}

/// `loginInBackgroundWithAuthorDictionary`: the new current user.
template <typename CompletionToken>
auto logInWithAuthorDictionary(VornValueMap authorDictionary, int platform, CompletionToken&& token) {
    return detail::initiate<std::shared_ptr<VornUser>>(
        token,
        [authorDictionary = std::move(authorDictionary), platform](detail::Report<std::shared_ptr<VornUser>> report) {
        VornUser::loginInBackgroundWithAuthorDictionary(
            authorDictionary, platform, detail::valueBlock<std::shared_ptr<VornUser>>(std::move(report)));
        });
}

/// `linkedInBackgroundWithAuthorDictionary`.
template <typename CompletionToken>
auto link(std::shared_ptr<VornUser> user, VornValueMap authorDictionary, int platform, CompletionToken&& token) {
    return detail::initiate<>(token, [user = std::move(user), authorDictionary = std::move(authorDictionary),
                                      platform](detail::Report<> report) {
        user->linkedInBackgroundWithAuthorDictionary(authorDictionary, platform, detail::doneBlock(std::move(report)));
    });
}

/// `cancleLinkedInBackgroundWithPlatform`.
template <typename CompletionToken>
auto unlink(std::shared_ptr<VornUser> user, int platform, CompletionToken&& token) {
    return detail::initiate<>(token, [user = std::move(user), platform](detail::Report<> report) {
        user->cancleLinkedInBackgroundWithPlatform(platform, detail::doneBlock(std::move(report)));
    });
}

/// `updateWithDictionary`: sends the fields that differ from the archive.
template <typename CompletionToken>
auto updateWithDictionary(std::shared_ptr<VornUser> user, nlohmann::json dictionary, CompletionToken&& token) {
    return detail::initiate<>(token,
                              [user = std::move(user), dictionary = std::move(dictionary)](detail::Report<> report) {
        user->updateWithDictionary(dictionary, detail::doneBlock(std::move(report)), true);
    });
}

/// `userEmailVerified`: whether the address is verified.
template <typename CompletionToken>
auto emailVerified(std::shared_ptr<VornUser> user, CompletionToken&& token) {
    return detail::initiate<bool>(token, [user = std::move(user)](detail::Report<bool> report) {
        user->userEmailVerified(detail::answerBlock(std::move(report)));
    });
}

/// `requestPasswordResetInBackgroundWithPhoneNumber`: false without an
/// error when the service answered with an empty object.
template <typename CompletionToken>
auto requestPasswordResetWithPhoneNumber(std::string phoneNumber, CompletionToken&& token) {
    return detail::initiate<bool>(token, [phoneNumber = std::move(phoneNumber)](detail::Report<bool> report) {
        VornUser::requestPasswordResetInBackgroundWithPhoneNumber(phoneNumber, detail::answerBlock(std::move(report)));
    });
}

/// `resetPasswordInBackgroundWithPhoneNumber`: as above.
template <typename CompletionToken>
auto resetPasswordWithPhoneNumber(std::string phoneNumber, std::string code, std::string newPassword,
                                  CompletionToken&& token) {
    return detail::initiate<bool>(token, [phoneNumber = std::move(phoneNumber), code = std::move(code),
                                          newPassword = std::move(newPassword)](detail::Report<bool> report) {
        VornUser::resetPasswordInBackgroundWithPhoneNumber(phoneNumber, code, newPassword,
                                                           detail::answerBlock(std::move(report)));
    });
}

// --- Files and images ------------------------------------------------------

/// `VornFile::saveInBackground`: uploads the whole file; its URL, name and
/// group are set when the handler runs.
template <typename CompletionToken>
auto upload(std::shared_ptr<VornFile> file, CompletionToken&& token) {
    return detail::initiate<>(token, [file = std::move(file)](detail::Report<> report) {
        file->saveInBackground(detail::doneBlock(std::move(report)));
    });
}

/// The same, with the fraction of the body sent reported to `progress` on
/// the main loop.
template <typename CompletionToken>
auto upload(std::shared_ptr<VornFile> file, VornProgressBlock progress, CompletionToken&& token) {
    return detail::initiate<>(
        token, [file = std::move(file), progress = std::move(progress)](detail::Report<> report) mutable {
            file->saveInBackground(detail::doneBlock(std::move(report)), std::move(progress));
        });
}

/// `saveInBackgroundByDataSharding`: uploads in pieces of 256 KiB, with retries.
template <typename CompletionToken>
auto uploadInPieces(std::shared_ptr<VornFile> file, CompletionToken&& token) {
    return detail::initiate<>(token, [file = std::move(file)](detail::Report<> report) {
        file->saveInBackgroundByDataSharding(detail::doneBlock(std::move(report)));
    });
}

/// `VornFile::deleteInBackground`: always fails (20018 or 20009).
template <typename CompletionToken>
auto deleteFile(std::shared_ptr<VornFile> file, CompletionToken&& token) {
    return detail::initiate<>(token, [file = std::move(file)](detail::Report<> report) {
        file->deleteInBackground(detail::doneBlock(std::move(report)));
    });
}

/// `VornImage::thumbnailImageBySpecifiesTheWidth` (width only): a new
/// stored file for output type 0, the reply's text otherwise.
template <typename CompletionToken>
auto thumbnailByWidth(std::int64_t width, std::int64_t quality, const std::optional<std::string>& sourceImageUrl,
                      std::int32_t outputType, CompletionToken&& token) {
    return detail::initiate<VornImageResult>(token, [=](detail::Report<VornImageResult> report) {
        VornImage::thumbnailImageBySpecifiesTheWidth(width, quality, sourceImageUrl, outputType,
                                                     detail::optionalBlock<VornImageResult>(std::move(report)));
    });
}

/// `thumbnailImageBySpecifiesTheHeight`.
template <typename CompletionToken>
auto thumbnailByHeight(std::int64_t height, std::int64_t quality, const std::optional<std::string>& sourceImageUrl,
                       std::int32_t outputType, CompletionToken&& token) {
    return detail::initiate<VornImageResult>(token, [=](detail::Report<VornImageResult> report) {
        VornImage::thumbnailImageBySpecifiesTheHeight(height, quality, sourceImageUrl, outputType,
                                                      detail::optionalBlock<VornImageResult>(std::move(report)));
    });
}

/// `thumbnailImageBySpecifiesTheLength`: the long edge.
template <typename CompletionToken>
auto thumbnailByLongEdge(std::int64_t longEdge, std::int64_t quality, const std::optional<std::string>& sourceImageUrl,
                         std::int32_t outputType, CompletionToken&& token) {
    return detail::initiate<VornImageResult>(token, [=](detail::Report<VornImageResult> report) {
        VornImage::thumbnailImageBySpecifiesTheLength(longEdge, quality, sourceImageUrl, outputType,
                                                      detail::optionalBlock<VornImageResult>(std::move(report)));
    });
}

/// `thumbnailImageBySpecifiesTheShort`: the short edge.
template <typename CompletionToken>
auto thumbnailByShortEdge(std::int64_t shortEdge, std::int64_t quality,
                          const std::optional<std::string>& sourceImageUrl, std::int32_t outputType,
                          CompletionToken&& token) {
    return detail::initiate<VornImageResult>(token, [=](detail::Report<VornImageResult> report) {
        VornImage::thumbnailImageBySpecifiesTheShort(shortEdge, quality, sourceImageUrl, outputType,
                                                     detail::optionalBlock<VornImageResult>(std::move(report)));
    });
}

/// `thumbnailImageBySpecifiesTheWidth` (width and height): fits both.
template <typename CompletionToken>
auto thumbnailToFit(std::int64_t width, std::int64_t height, std::int64_t quality,
                    const std::optional<std::string>& sourceImageUrl, std::int32_t outputType,
                    CompletionToken&& token) {
    return detail::initiate<VornImageResult>(token, [=](detail::Report<VornImageResult> report) {
        VornImage::thumbnailImageBySpecifiesTheWidth(width, height, quality, sourceImageUrl, outputType,
                                                     detail::optionalBlock<VornImageResult>(std::move(report)));
    });
}

/// `cutImageBySpecifiesTheWidth`.
template <typename CompletionToken>
auto cutImage(std::int64_t width, std::int64_t height, std::int64_t quality,
              const std::optional<std::string>& sourceImageUrl, std::int32_t outputType, CompletionToken&& token) {
    return detail::initiate<VornImageResult>(token, [=](detail::Report<VornImageResult> report) {
        VornImage::cutImageBySpecifiesTheWidth(width, height, quality, sourceImageUrl, outputType,
                                               detail::optionalBlock<VornImageResult>(std::move(report)));
    });
}

/// `watermarkImageWithSourceImageUrl`.
template <typename CompletionToken>
auto watermarkImage(const std::optional<std::string>& sourceImageUrl,
                    const std::optional<std::string>& watermarkImageUrl, std::int64_t dissolve, std::uint32_t direction,
                    std::int64_t x, std::int64_t y, std::int32_t outputType, CompletionToken&& token) {
    return detail::initiate<VornImageResult>(token, [=](detail::Report<VornImageResult> report) {
        VornImage::watermarkImageWithSourceImageUrl(sourceImageUrl, watermarkImageUrl, dissolve, direction, x, y,
                                                    outputType,
                                                    detail::optionalBlock<VornImageResult>(std::move(report)));
    });
}

/// `dealWithImageWithDictionary`: a thumbnail or cut of the given "data" object.
template <typename CompletionToken>
auto processImage(nlohmann::json dictionary, CompletionToken&& token) {
    return detail::initiate<VornImageResult>(token, [dictionary = std::move(dictionary)](
                                                        detail::Report<VornImageResult> report) {
        VornImage::dealWithImageWithDictionary(dictionary, detail::optionalBlock<VornImageResult>(std::move(report)));
    });
}

// --- Cloud functions -------------------------------------------------------

/// `VornCloud::callFunctionInBackground`: the answer, a JSON object or text.
template <typename CompletionToken>
auto callFunction(std::string function, std::optional<nlohmann::json> parameters, CompletionToken&& token) {
    return detail::initiate<VornCloudResult>(
        token,
        [function = std::move(function), parameters = std::move(parameters)](detail::Report<VornCloudResult> report) {
        VornCloud::callFunctionInBackground(function, parameters,
                                            detail::optionalBlock<VornCloudResult>(std::move(report)));
        });
}

// --- Push ------------------------------------------------------------------

/// `VornPush::sendPushInBackgroundWithBlock`.
template <typename CompletionToken>
auto sendPush(std::shared_ptr<VornPush> push, CompletionToken&& token) {
    return detail::initiate<>(token, [push = std::move(push)](detail::Report<> report) {
        push->sendPushInBackgroundWithBlock(detail::doneBlock(std::move(report)));
    });
}

/// `VornPush::sendPushMessageToChannelInBackground` with channel, query and
/// data: the sender of the four below.
template <typename CompletionToken>
auto sendPush(std::optional<std::string> channel, std::shared_ptr<VornQuery> query, std::optional<nlohmann::json> data,
              CompletionToken&& token) {
    return detail::initiate<>(token, [channel = std::move(channel), query = std::move(query),
                                      data = std::move(data)](detail::Report<> report) {
        VornPush::sendPushMessageToChannelInBackground(channel, query, data, detail::doneBlock(std::move(report)),
                                                       true);
    });
}

/// `sendPushMessageToChannelInBackground`.
template <typename CompletionToken>
auto pushMessageToChannel(std::optional<std::string> channel, std::optional<std::string> message,
                          CompletionToken&& token) {
    return detail::initiate<>(token,
                              [channel = std::move(channel), message = std::move(message)](detail::Report<> report) {
        VornPush::sendPushMessageToChannelInBackground(channel, message, detail::doneBlock(std::move(report)));
    });
}

/// `sendPushMessageToQueryInBackground`.
template <typename CompletionToken>
auto pushMessageToQuery(std::shared_ptr<VornQuery> query, std::optional<std::string> message, CompletionToken&& token) {
    return detail::initiate<>(token, [query = std::move(query), message = std::move(message)](detail::Report<> report) {
        VornPush::sendPushMessageToQueryInBackground(query, message, detail::doneBlock(std::move(report)));
    });
}

/// `sendPushDataToChannelInBackground`.
template <typename CompletionToken>
auto pushDataToChannel(std::optional<std::string> channel, std::optional<nlohmann::json> data,
                       CompletionToken&& token) {
    return detail::initiate<>(token, [channel = std::move(channel), data = std::move(data)](detail::Report<> report) {
        VornPush::sendPushDataToChannelInBackground(channel, data, detail::doneBlock(std::move(report)));
    });
}

/// `sendPushDataToQueryInBackground`.
template <typename CompletionToken>
auto pushDataToQuery(std::shared_ptr<VornQuery> query, std::optional<nlohmann::json> data, CompletionToken&& token) {
    return detail::initiate<>(token, [query = std::move(query), data = std::move(data)](detail::Report<> report) {
        VornPush::sendPushDataToQueryInBackground(query, data, detail::doneBlock(std::move(report)));
    });
}

// --- HTTP requests ---------------------------------------------------------

/// Runs the request asynchronously (`startAsyncConnection`): the received
/// bytes, or `kVornErrorConnectFailed` with the failure's description under
/// "error". The request's completion and failure handlers are replaced.
template <typename CompletionToken>
auto run(std::shared_ptr<VornUrlRequest> request, CompletionToken&& token) {
    return detail::initiate<std::string>(token,
                                         [request = std::move(request)](const detail::Report<std::string>& report) {
        detail::startRun(request, report);
    });
}

// --- Realtime sessions: acknowledgements --------------------------------------

/// `SocketIO::sendMessage` asking for an acknowledgement: its data. An
/// acknowledgement that never comes keeps the operation waiting until the
/// session is destroyed (then `kVornAsyncErrorNoResult`).
template <typename CompletionToken>
auto sendMessage(std::shared_ptr<SocketIO> socket, std::string data, CompletionToken&& token) {
    return detail::initiate<nlohmann::json>(
        token, [socket = std::move(socket), data = std::move(data)](detail::Report<nlohmann::json> report) {
            socket->sendMessage(data, [report = std::move(report)](const nlohmann::json& ack) { report.succeed(ack); });
        });
}

/// `SocketIO::sendJSON` asking for an acknowledgement: its data.
template <typename CompletionToken>
auto sendJSON(std::shared_ptr<SocketIO> socket, nlohmann::json data, CompletionToken&& token) {
    return detail::initiate<nlohmann::json>(
        token, [socket = std::move(socket), data = std::move(data)](detail::Report<nlohmann::json> report) {
            socket->sendJSON(data, [report = std::move(report)](const nlohmann::json& ack) { report.succeed(ack); });
        });
}

/// `SocketIO::sendEvent` asking for an acknowledgement: its data.
template <typename CompletionToken>
auto sendEvent(std::shared_ptr<SocketIO> socket, std::string eventName, std::optional<nlohmann::json> data,
               CompletionToken&& token) {
    return detail::initiate<nlohmann::json>(token, [socket = std::move(socket), eventName = std::move(eventName),
                                                    data = std::move(data)](detail::Report<nlohmann::json> report) {
        socket->sendEvent(eventName, data,
                          [report = std::move(report)](const nlohmann::json& ack) { report.succeed(ack); });
    });
}

// --- Data-change notices -----------------------------------------------------

/// A change notice as `nextNotice` hands it out.
struct Notice {  // NOLINT(bugprone-exception-escape): only allocation can fail in its members
    /// The notice parsed: the server sends a JSON text, whose value this is.
    /// A text that is not JSON (or nests deeper than the library reads) is
    /// the text itself, as a JSON string; a message that was no text at all
    /// is that message.
    nlohmann::json value;
    /// The text as it arrived (a message that was no text: its JSON text).
    std::string text;
};

/// A `VornEvent` seen as a channel of notices for coroutines: it becomes the
/// event's delegate, keeps the notices that arrive, and hands them out one
/// at a time to `nextNotice`; `connect` waits until the server takes
/// subscriptions. Every call of the delegate is passed on to `listener`.
/// Use it on the main loop, like the event.
///
/// Without reconnection, waiting operations fail when the channel ends (with
/// its error, or `kVornAsyncErrorChannelClosed` after `stop`), and a handshake
/// that fails fails `connect`. With reconnection on, they wait through the
/// attempts and fail when the last attempt fails. `stop` (or a disconnect of
/// the session while a reconnection waits) fails them with
/// `kVornAsyncErrorChannelClosed`, whatever the disconnect's outcome.
class EventChannel final : public VornEventDelegate, public std::enable_shared_from_this<EventChannel> {
    struct PrivateTag {};

public:
    /// Makes a channel the event's delegate; every listener call is also
    /// passed on to `listener`, when given.
    static std::shared_ptr<EventChannel> attach(std::shared_ptr<VornEvent> event,
                                                std::weak_ptr<VornEventDelegate> listener = {});
    /// Made only by `attach`.
    EventChannel(PrivateTag, std::shared_ptr<VornEvent> event, std::weak_ptr<VornEventDelegate> listener);
    EventChannel(const EventChannel&) = delete;
    EventChannel& operator=(const EventChannel&) = delete;
    ~EventChannel() override;

    /// The event whose delegate this channel is.
    const std::shared_ptr<VornEvent>& event() const { return event_; }
    /// Whether the server takes subscriptions now.
    bool isListening() const { return listening_; }
    /// Notices received and not yet handed out.
    std::size_t queuedNoticeCount() const { return notices_.size(); }

    /// Starts the event (unless connected or connecting); reports once the
    /// server takes subscriptions, at once when it does already.
    void startListening(detail::Report<> report);
    /// Reports the oldest queued notice, or the next one to arrive.
    void takeNotice(detail::Report<Notice> report);
    /// Fails every waiting `connect` and `nextNotice` with
    /// `kVornAsyncErrorCancelled` (a timer's way to bound a wait); the
    /// channel, its session and its queued notices stay as they are.
    void cancel();

    void vornEventDidConnect(const std::shared_ptr<VornEvent>& event) override;
    void vornEventCanStartListen(const std::shared_ptr<VornEvent>& event) override;
    void vornEvent(const std::shared_ptr<VornEvent>& event, const nlohmann::json& message) override;
    void vornEvent(const std::shared_ptr<VornEvent>& event, const VornError& error) override;
    void vornEventDidDisConnect(const std::shared_ptr<VornEvent>& event, const OptionalError& error) override;
    void vornEventReconnectAttempt(const std::shared_ptr<VornEvent>& event, int attempt, const OptionalError& outcome,
                                   double nextDelay) override;
    void vornEventDidStop(const std::shared_ptr<VornEvent>& event) override;

private:
    void failWaiters(const VornError& error);

    std::shared_ptr<VornEvent> event_;
    std::weak_ptr<VornEventDelegate> listener_;
    bool listening_ = false;
    std::deque<Notice> notices_;
    std::deque<detail::Report<>> listenWaiters_;
    std::deque<detail::Report<Notice>> noticeWaiters_;
};

/// Starts the channel's event and completes once the server takes
/// subscriptions (at once when it does already).
template <typename CompletionToken>
auto connect(std::shared_ptr<EventChannel> channel, CompletionToken&& token) {
    return detail::initiate<>(
        token, [channel = std::move(channel)](detail::Report<> report) { channel->startListening(std::move(report)); });
}

/// The next change notice, parsed, with its text (`Notice`).
template <typename CompletionToken>
auto nextNotice(std::shared_ptr<EventChannel> channel, CompletionToken&& token) {
    return detail::initiate<Notice>(token, [channel = std::move(channel)](detail::Report<Notice> report) {
        channel->takeNotice(std::move(report));
    });
}

}  // namespace vorn::async

namespace vorn {

/// The library's codes compare with the codes of `VornErrorException`:
/// `exception.code() == vorn::kVornErrorNoneObject`.
boost::system::error_code make_error_code(VornErrorCode code);  // NOLINT(readability-identifier-naming)

namespace async {
boost::system::error_code make_error_code(VornAsyncErrorCode code);  // NOLINT(readability-identifier-naming)
}  // namespace async

}  // namespace vorn

/// \cond
template <>
struct boost::system::is_error_code_enum<vorn::VornErrorCode> : std::true_type {};
template <>
struct boost::system::is_error_code_enum<vorn::async::VornAsyncErrorCode> : std::true_type {};
/// \endcond
