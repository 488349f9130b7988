// Kept-alive connections and the bound on a response: a connection that sat
// idle past the transport's limit is not reused, so a request is never sent
// on one the service is closing (libcurl would send it again by itself); a
// response beyond its request's bound fails the request.

#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/data/VornObject.h"
#include "vorn/net/HttpTransport.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/service/Vorn.h"

#include <vorn_emulator/ObjectStore.h>
#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

using namespace vorn;
using namespace std::chrono_literals;
using test::RecordedRequest;
using test::ScriptedAction;
using test::ScriptedHttpServer;
using Clock = std::chrono::steady_clock;

namespace {

/// Sets the transport's idle limit for reuse for one test, then restores it.
class IdleLimit {
public:
    explicit IdleLimit(long seconds) { HttpTransport::setMaxConnectionIdleSeconds(seconds); }
    ~IdleLimit() { HttpTransport::setMaxConnectionIdleSeconds(0); }
    IdleLimit(const IdleLimit&) = delete;
    IdleLimit& operator=(const IdleLimit&) = delete;
};

/// Runs the main loop until `pause` has passed: the connections sit idle.
void idleFor(std::chrono::milliseconds pause) {
    const auto until = Clock::now() + pause;
    test::runUntil([&] { return Clock::now() >= until; }, pause + 1s);
}

/// One asynchronous POST and how it ended.
struct Post {
    std::shared_ptr<VornUrlRequest> request;
    bool completed = false;
    bool failed = false;

    Post(const std::string& url, std::string body, std::uint64_t maximumResponseBytes = 0) {
        request = VornUrlRequest::initWithUrl(url);
        request->setPostBody(std::move(body));
        if (maximumResponseBytes > 0) request->setMaximumResponseBytes(maximumResponseBytes);
        request->setCompletionBlock([this] { completed = true; });
        request->setFailedBlock([this] { failed = true; });
        request->startAsyncConnection();
    }
    bool wait() {
        return test::runUntil([this] { return completed || failed; });
    }
};

const std::string kOkReply = R"({"result": {"code": 200, "message": "ok"}, "data": {}})";

}  // namespace

TEST(KeptAliveConnections, TheDefaultIdleLimitIsBelowTheEmulatorsAndZeroRestoresIt) {
    EXPECT_EQ(HttpTransport::maxConnectionIdleSeconds(), HttpTransport::kMaxConnectionIdleSeconds);
    EXPECT_LT(std::chrono::seconds(HttpTransport::kMaxConnectionIdleSeconds), emulator::Options{}.idleTimeout);
    {
        IdleLimit limit(3);
        EXPECT_EQ(HttpTransport::maxConnectionIdleSeconds(), 3);
    }
    EXPECT_EQ(HttpTransport::maxConnectionIdleSeconds(), HttpTransport::kMaxConnectionIdleSeconds);
}

TEST(KeptAliveConnections, APostAfterTheIdleLimitGoesOnAFreshConnectionAndIsSentOnce) {
    IdleLimit limit(1);
    std::mutex mutex;
    std::map<int, int> served;  // requests per connection
    bool idlePassed = false;
    ScriptedHttpServer server([&](const RecordedRequest& request) {
        std::lock_guard lock(mutex);
        // After the pause the service closes an idle connection just as a
        // request arrives on it, before any byte of a reply.
        if (idlePassed && served[request.connection] > 0) return ScriptedAction::close();
        ++served[request.connection];
        return ScriptedAction::reply(kOkReply);
    });

    // Within the limit the connection is reused.
    Post first(server.url("/7/create"), "create one");
    ASSERT_TRUE(first.wait());
    Post second(server.url("/7/create"), "create two");
    ASSERT_TRUE(second.wait());
    EXPECT_TRUE(first.completed && second.completed);

    // Whole seconds count: idle for more than limit + 1 s.
    idleFor(2500ms);
    {
        std::lock_guard lock(mutex);
        idlePassed = true;
    }
    Post third(server.url("/7/create"), "create three");
    ASSERT_TRUE(third.wait());
    EXPECT_TRUE(third.completed);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u) << "a request was sent again";
    EXPECT_EQ(requests[0].connection, requests[1].connection);
    EXPECT_NE(requests[2].connection, requests[1].connection);
    EXPECT_EQ(requests[2].body, "create three");
}

TEST(KeptAliveConnections, ACreateAfterTheEmulatorClosedTheIdleConnectionIsStoredOnce) {
    IdleLimit limit(1);
    emulator::Options options;
    options.port = 0;
    options.memory = true;
    options.appKey = "idle-key";
    options.idleTimeout = 2s;
    emulator::Server server(options);
    const auto port = server.start();
    {
        test::TestDevice device("127.0.0.1:" + std::to_string(port));
        Vorn::registerWithAppKey("idle-key");
        const auto create = [](const std::string& text) {
            auto note = VornObject::objectWithClassName("IdleNote");
            note->setObject(text, "text");
            test::BooleanResult saved;
            note->saveInBackgroundWithResultBlock(saved.block());
            EXPECT_TRUE(saved.wait());
            EXPECT_TRUE(saved.succeeded) << saved.code();
        };
        create("before");
        // Longer than the emulator's idle limit: it has closed the connection.
        idleFor(2500ms);
        create("after");
        create("right after");
    }
    EXPECT_EQ(server.call([&] { return emulator::countObjects(server.storage(), "IdleNote"); }), 3u);
    server.stop();
}

// --- The bound on a response ------------------------------------------------------

struct LargeBody {
    const char* name;
    bool announced;  // a Content-Length, or the body ends with the connection
};

class ResponseBound : public ::testing::TestWithParam<LargeBody> {};

TEST_P(ResponseBound, ABodyBeyondItFailsTheRequestAndOneWithinItIsWhole) {
    const std::string large(std::size_t{2} << 20, 'x');
    const bool announced = GetParam().announced;
    ScriptedHttpServer server([&](const RecordedRequest& request) {
        const std::string body = request.body == "small" ? std::string(1000, 'y') : large;
        if (announced) return ScriptedAction::reply(body);
        return ScriptedAction::rawBytes("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body);
    });

    Post tooLarge(server.url("/big"), "large", 1000);
    ASSERT_TRUE(tooLarge.wait());
    EXPECT_TRUE(tooLarge.failed);
    EXPECT_FALSE(tooLarge.completed);
    EXPECT_EQ(tooLarge.request->errorDescription(), "the response is larger than 1000 bytes");

    Post exact(server.url("/small"), "small", 1000);
    ASSERT_TRUE(exact.wait());
    EXPECT_TRUE(exact.completed);
    EXPECT_EQ(exact.request->responseData(), std::string(1000, 'y'));

    Post unbounded(server.url("/big"), "large");
    ASSERT_TRUE(unbounded.wait());
    EXPECT_TRUE(unbounded.completed);
    EXPECT_EQ(unbounded.request->responseData()->size(), large.size());

    auto blocking = VornUrlRequest::initWithUrl(server.url("/big"));
    blocking->setPostBody("large");
    blocking->setMaximumResponseBytes(4096);
    EXPECT_EQ(blocking->maximumResponseBytes(), 4096u);
    blocking->startSyncConnection();
    EXPECT_FALSE(blocking->responseData().has_value());
    EXPECT_EQ(blocking->errorDescription(), "the response is larger than 4096 bytes");
}

INSTANTIATE_TEST_SUITE_P(Bodies, ResponseBound,
                         ::testing::Values(LargeBody{"WithContentLength", true}, LargeBody{"EndedByClose", false}),
                         [](const auto& info) { return std::string(info.param.name); });
