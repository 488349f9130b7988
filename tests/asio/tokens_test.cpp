// The completion tokens an operation takes, where and when its handler runs,
// and how failures reach each kind of token.
#include "AsyncTestSupport.h"
#include "support/TestDevice.h"
#include "vorn/async/VornAsync.h"
#include "vorn/data/VornObject.h"
#include "vorn/push/VornInstallation.h"
#include "vorn/query/VornQuery.h"
#include "vorn/users/VornUser.h"

#include <gtest/gtest.h>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include <future>
#include <thread>
#include <tuple>

namespace vorn::async_tokens_test {

using test::runUntil;

/// A token whose operation starts only when the returned launcher is
/// called with another token: the shape of a deferred operation, made
/// from nothing but `async_result`.
struct LaunchLater {};

}  // namespace vorn::async_tokens_test

template <typename Signature>
struct boost::asio::async_result<vorn::async_tokens_test::LaunchLater, Signature> {
    template <typename Initiation, typename... Args>
    static auto initiate(Initiation initiation, vorn::async_tokens_test::LaunchLater, Args... args) {
        return [initiation = std::move(initiation),
                arguments = std::make_tuple(std::move(args)...)](auto&& token) mutable {
            return std::apply(
                [&](auto&... values) {
                return boost::asio::async_initiate<decltype(token), Signature>(std::move(initiation), token,
                                                                               std::move(values)...);
                },
                arguments);
        };
    }
};

namespace vorn::async_tokens_test {

class Tokens : public test::EmulatorTest {
protected:
    std::shared_ptr<VornObject> newScore(int value) {
        auto object = VornObject::objectWithClassName("Score");
        object->setObject(VornValue(value), "score");
        return object;
    }
    std::shared_ptr<VornObject> savedScore(int value) {
        auto object = newScore(value);
        test::BooleanResult result;
        object->saveInBackgroundWithResultBlock(result.block());
        EXPECT_TRUE(result.wait());
        EXPECT_TRUE(result.succeeded);
        return object;
    }
};

TEST_F(Tokens, ACallbackRunsOnTheMainLoopWithNoFailure) {
    auto object = newScore(1);
    bool called = false;
    std::exception_ptr failure;
    std::thread::id thread;
    async::save(object, [&](std::exception_ptr e) {
        called = true;
        failure = std::move(e);
        thread = std::this_thread::get_id();
    });
    ASSERT_TRUE(test::waitFor(called));
    EXPECT_FALSE(failure);
    EXPECT_EQ(thread, std::this_thread::get_id());
    ASSERT_TRUE(object->objectId());
    EXPECT_TRUE(storedObject("Score", *object->objectId()));
}

TEST_F(Tokens, AFailureReportedInsideTheCallIsPostedNotRunThere) {
    auto object = newScore(1);  // no object id: the update fails at once
    bool called = false;
    std::exception_ptr failure;
    async::update(object, [&](std::exception_ptr e) {
        called = true;
        failure = std::move(e);
    });
    EXPECT_FALSE(called);
    test::drainLoop();
    ASSERT_TRUE(called);
    EXPECT_EQ(test::failureOf(failure), (std::pair<std::string, int>{kVornErrorDomain, kVornErrorNoneObjectId}));
}

TEST_F(Tokens, AFutureGetsTheValueWhileTheLoopIsPolled) {
    auto saved = savedScore(7);
    auto future = async::getObject(VornQuery::queryWithClassName("Score"), *saved->objectId(), boost::asio::use_future);
    ASSERT_TRUE(test::waitForFuture(future));
    auto fetched = future.get();
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->objectId(), saved->objectId());
    EXPECT_EQ(fetched->objectForKey("score")->json(), 7);
}

TEST_F(Tokens, AFutureThrowsTheErrorAsASystemError) {
    auto future =
        async::getObject(VornQuery::queryWithClassName("Score"), "0123456789abcdef01234567", boost::asio::use_future);
    ASSERT_TRUE(test::waitForFuture(future));
    try {
        future.get();
        FAIL() << "a missing object was found";
    } catch (const async::VornErrorException& exception) {
        EXPECT_EQ(exception.error().domain, kVornErrorDomain);
        EXPECT_EQ(exception.error().code, kVornErrorNoneObject);
        EXPECT_EQ(exception.code(), kVornErrorNoneObject);
        EXPECT_EQ(exception.code().category().name(), std::string("vorn"));
        EXPECT_EQ(std::string(exception.what()), exception.error().message());
        const boost::system::system_error& asSystemError = exception;
        EXPECT_EQ(asSystemError.code().value(), kVornErrorNoneObject);
    }
}

TEST_F(Tokens, AFutureWaitsOnAnotherThreadWhileTheLibraryRunsTheLoop) {
    auto& loop = MainLoop::shared();
    loop.startThread();
    // Objects are used from one thread at a time: this thread only waits
    // while the loop's thread runs the save.
    auto object = newScore(3);
    auto saved = async::save(object, boost::asio::use_future);
    const auto status = saved.wait_for(std::chrono::seconds(30));
    loop.stopThread();
    ASSERT_EQ(status, std::future_status::ready);
    EXPECT_NO_THROW(saved.get());
    EXPECT_TRUE(object->objectId());
}

#if defined(BOOST_ASIO_HAS_CO_AWAIT)
TEST_F(Tokens, ACoroutineAwaitsValuesAndCatchesErrors) {
    auto saved = savedScore(5);
    int count = -1;
    std::optional<VornError> caught;
    auto coroutine = [&]() -> boost::asio::awaitable<void> {
        auto second = newScore(6);
        co_await async::save(second, boost::asio::use_awaitable);
        count = co_await async::countObjects(VornQuery::queryWithClassName("Score"), boost::asio::use_awaitable);
        try {
            co_await async::getObject(VornQuery::queryWithClassName("Score"), "0123456789abcdef01234567",
                                      boost::asio::use_awaitable);
        } catch (const async::VornErrorException& exception) {
            caught = exception.error();
        }
    };
    ASSERT_TRUE(test::runCoroutine(coroutine()));
    EXPECT_EQ(count, 2);
    ASSERT_TRUE(caught);
    EXPECT_EQ(caught->code, kVornErrorNoneObject);
}

TEST_F(Tokens, ACoroutineResumesOnItsOwnExecutor) {
    // The coroutine runs on an io_context of its own; the library still
    // reports on the main loop, and the coroutine goes on on its context.
    boost::asio::io_context other;
    bool done = false;
    std::thread::id resumedOn;
    std::exception_ptr failure;
    auto object = newScore(8);
    boost::asio::co_spawn(
        other,
        [&]() -> boost::asio::awaitable<void> {
            co_await async::save(object, boost::asio::use_awaitable);
            resumedOn = std::this_thread::get_id();
        },
        [&](std::exception_ptr e) {
        failure = std::move(e);
        done = true;
        });
    ASSERT_TRUE(runUntil([&] {
        other.poll();
        other.restart();
        return done;
    }));
    EXPECT_FALSE(failure);
    EXPECT_EQ(resumedOn, std::this_thread::get_id());
    EXPECT_TRUE(object->objectId());
}
#endif

TEST_F(Tokens, AHandlerRunsOnItsAssociatedExecutorWhichCountsTheWork) {
    boost::asio::io_context other;
    bool called = false;
    auto object = newScore(9);
    async::save(object, boost::asio::bind_executor(other, [&](std::exception_ptr e) {
                    EXPECT_FALSE(e);
                    called = true;
                }));
    // The pending operation is work of `other`: polling it does not stop it.
    other.poll();
    EXPECT_FALSE(other.stopped());
    ASSERT_TRUE(runUntil([&] { return object->objectId().has_value(); }));
    EXPECT_FALSE(called);  // reported on the main loop, run on `other`
    ASSERT_TRUE(runUntil([&] {
        other.poll();
        return called;
    }));
    other.poll();
    EXPECT_TRUE(other.stopped());  // nothing outstanding any more
}

TEST_F(Tokens, ADetachedOperationStillRuns) {
    auto object = newScore(10);
    async::save(object, boost::asio::detached);
    ASSERT_TRUE(runUntil([&] { return object->objectId().has_value(); }));
    EXPECT_TRUE(storedObject("Score", *object->objectId()));
}

TEST_F(Tokens, AnyTokenWithAnAsyncResultWorksAndCanDeferTheStart) {
    auto object = newScore(11);
    auto launch = async::save(object, LaunchLater{});
    test::drainLoop();
    EXPECT_FALSE(object->objectId());  // nothing sent yet
    bool called = false;
    launch([&](std::exception_ptr e) {
        EXPECT_FALSE(e);
        called = true;
    });
    ASSERT_TRUE(test::waitFor(called));
    EXPECT_TRUE(object->objectId());

    // The same deferred count, launched with a future.
    auto count = async::countObjects(VornQuery::queryWithClassName("Score"), LaunchLater{});
    auto future = count(boost::asio::use_future);
    ASSERT_TRUE(test::waitForFuture(future));
    EXPECT_EQ(future.get(), 1);
}

TEST_F(Tokens, AnOperationTheLibraryNeverReportsEndsWithNoResult) {
    // A user is never saved: its save lets the callback go uncalled.
    bool called = false;
    std::exception_ptr failure;
    async::save(VornUser::init(), [&](std::exception_ptr e) {
        called = true;
        failure = std::move(e);
    });
    EXPECT_FALSE(called);
    ASSERT_TRUE(test::waitFor(called));
    EXPECT_EQ(test::failureOf(failure),
              (std::pair<std::string, int>{async::kVornAsyncErrorDomain, async::kVornAsyncErrorNoResult}));

    auto future =
        async::deleteObject(VornInstallation::objectWithoutDatatWithClassName("", "abc"), boost::asio::use_future);
    ASSERT_TRUE(test::waitForFuture(future));
    try {
        future.get();
        FAIL() << "an installation was deleted";
    } catch (const async::VornErrorException& exception) {
        EXPECT_EQ(exception.code(), async::kVornAsyncErrorNoResult);
        EXPECT_EQ(exception.code().category().name(), std::string("vorn.async"));
    }
}

TEST_F(Tokens, ErrorsOfEveryDomainMapToACategory) {
    EXPECT_EQ(async::errorCategory(kVornErrorDomain).name(), std::string("vorn"));
    EXPECT_EQ(async::errorCategory("SocketIOError").name(), std::string("vorn.socketio"));
    EXPECT_EQ(async::errorCategory("NSCocoaErrorDomain").name(), std::string("vorn.other"));
    const VornError parser{"NSCocoaErrorDomain", 3840, {}};
    const async::VornErrorException exception(parser);
    EXPECT_EQ(exception.code().value(), 3840);
    EXPECT_EQ(exception.error(), parser);
    EXPECT_EQ(std::string(exception.what()), "NSCocoaErrorDomain 3840");
    EXPECT_EQ(async::errorCode(VornError{kVornErrorDomain, 101, {}}).message(), "service error 101");
    EXPECT_EQ(boost::system::error_code(kVornErrorConnectFailed).message(), "connect failed");
    EXPECT_FALSE(async::errorOf(nullptr));
    EXPECT_THROW(async::errorOf(std::make_exception_ptr(std::runtime_error("other"))), std::runtime_error);
}

}  // namespace vorn::async_tokens_test
