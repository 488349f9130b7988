// The library's service path against faults: the service going away in the
// middle of a call, replies cut short, replies that never come. Every call
// ends on the main loop with the reply rule's error, and its request object
// is released.

#include "support/ScriptedHttpServer.h"
#include "support/ServiceCalls.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/MainLoop.h"
#include "vorn/net/HttpTransport.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/service/Vorn.h"
#include "vorn/service/VornService.h"

#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace vorn;
using namespace std::chrono_literals;
using test::ScriptedAction;
using test::ScriptedHttpServer;
using Clock = std::chrono::steady_clock;

namespace {

using test::timestampCall;

/// One call in flight: its reply once in, and its request object, held
/// weakly to see that it is let go.
struct Call {
    std::optional<VornServiceReply> reply;
    bool onMainLoop = false;
    int replies = 0;
    std::weak_ptr<VornUrlRequest> request;

    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    explicit Call(const VornServiceCall& call = timestampCall()) {
        request = VornService::send(call, [this](const VornServiceReply& r) {
            onMainLoop = MainLoop::shared().isCurrentThread();
            ++replies;
            reply = r;
        });
    }

    /// Runs the main loop until the reply is in; then checks it came once,
    /// on the loop, and that nothing holds the request any more.
    int waitForCode(std::chrono::milliseconds timeout = 10s) {
        EXPECT_TRUE(test::runUntil([&] { return reply.has_value(); }, timeout)) << "no reply";
        if (!reply) return -1;
        test::drainLoop();
        EXPECT_EQ(replies, 1);
        EXPECT_TRUE(onMainLoop);
        EXPECT_TRUE(request.expired()) << "the request object is still held";
        const auto error = reply->error();
        return error ? error->code : 200;
    }
};

/// Shortens the transport's time limit for one test, then restores it.
class ShortTimeout {
public:
    explicit ShortTimeout(long seconds) { HttpTransport::setTimeoutSeconds(seconds); }
    ~ShortTimeout() { HttpTransport::setTimeoutSeconds(0); }
    ShortTimeout(const ShortTimeout&) = delete;
    ShortTimeout& operator=(const ShortTimeout&) = delete;
};

}  // namespace

// --- The emulator going away or answering late ---------------------------------

class EmulatorFaults : public test::EmulatorTest {
protected:
    /// Delays the next answer of /7/timestamp and waits until a request
    /// has taken the fault (the emulator holds its answer from then on).
    void delayNextTimestamp(std::chrono::milliseconds delay) {
        emulatorServer().faults().add(emulator::Fault{"/7/timestamp", emulator::FaultMode::Delay, 1, 150, delay});
    }
    bool faultTaken() { return emulatorServer().faults().list().empty(); }
};

TEST_F(EmulatorFaults, StoppedInTheMiddleOfACallGives20002) {
    delayNextTimestamp(30s);
    Call call;
    ASSERT_TRUE(test::runUntil([&] { return faultTaken(); }));
    // The emulator has the request and holds its answer: stop it now.
    stopEmulator();
    EXPECT_EQ(call.waitForCode(), 20002);
    EXPECT_EQ(call.reply->status, VornServiceReply::Status::TransportFailed);
}

TEST_F(EmulatorFaults, AnAnswerLaterThanTheTimeoutGives20002AndTheNextCallIsServed) {
    ShortTimeout timeout(1);
    // Well beyond the library's limit: curl judges "no progress" over a
    // window of several seconds, so a 1 s limit ends a call after about 7 s.
    delayNextTimestamp(30s);
    const auto began = Clock::now();
    Call late;
    EXPECT_EQ(late.waitForCode(20s), 20002);
    EXPECT_GE(Clock::now() - began, 1s);
    // The emulator serves the next call although the abandoned answer is
    // still being held.
    Call next;
    EXPECT_EQ(next.waitForCode(), 200);
}

// --- Replies cut short and replies that are no JSON object ---------------------

struct CutReply {
    const char* name;
    std::string bytes;  // what the peer writes before it closes
    int code;           // what the call gets
};

class CutReplies : public ::testing::TestWithParam<CutReply> {};

TEST_P(CutReplies, FollowTheReplyRule) {
    const CutReply& cut = GetParam();
    ScriptedHttpServer server([&](const test::RecordedRequest&) { return ScriptedAction::rawBytes(cut.bytes); });
    test::TestDevice device(server.hostAndPort());
    Vorn::registerWithAppKey("key");
    Call call;
    EXPECT_EQ(call.waitForCode(), cut.code);
    // A reply cut after some bytes is not sent again.
    EXPECT_EQ(server.requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    ServicePath, CutReplies,
    ::testing::Values(
        // Transport failures: the reply is incomplete by HTTP's own rules.
        CutReply{"BodyShorterThanContentLength",
                 "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 200\r\n\r\n"
                 "{\"result\": {\"code\": 200, \"mess",
                 20002},
        CutReply{"ChunkCutHalfway",
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n40\r\n{\"result\": {\"code\": 200", 20002},
        // Complete replies whose body is not a JSON object: unparsed.
        CutReply{"CompleteButTruncatedJson", "HTTP/1.1 200 OK\r\nContent-Length: 23\r\n\r\n{\"result\": {\"code\": 200",
                 20010},
        CutReply{"EndedByCloseWithoutLength", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{\"result\": {\"code\": 2",
                 20010},
        CutReply{"EmptyBody", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 20010},
        // A header cut short: no reply at all (libcurl itself reports no error for it).
        CutReply{"HeaderCutHalfway", "HTTP/1.1 200 OK\r\nContent-Type: applic", 20002},
        CutReply{"StatusLineOnly", "HTTP/1.1 200 OK\r\n", 20002},
        CutReply{"JsonArray", "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n[1, 2]", 20010},
        // A complete reply that is a JSON object is judged as the service's.
        CutReply{"ServiceErrorThenClose",
                 "HTTP/1.1 200 OK\r\nContent-Length: 47\r\n\r\n{\"result\": {\"code\": 101, \"message\": \"missing\"}}",
                 101}),
    [](const ::testing::TestParamInfo<CutReply>& info) { return std::string(info.param.name); });

// --- Replies that never come -----------------------------------------------------

TEST(ServiceTimeout, TheDefaultLimitIsUnchangedUntilSet) {
    EXPECT_EQ(HttpTransport::timeoutSeconds(), HttpTransport::kTimeoutSeconds);
    {
        ShortTimeout timeout(3);
        EXPECT_EQ(HttpTransport::timeoutSeconds(), 3);
    }
    EXPECT_EQ(HttpTransport::timeoutSeconds(), HttpTransport::kTimeoutSeconds);
}

TEST(ServiceTimeout, CallsWhoseReplyNeverComesEndWith20002AfterTheTimeout) {
    ShortTimeout timeout(1);
    ScriptedHttpServer server([](const test::RecordedRequest&) { return ScriptedAction::hang(); });
    test::TestDevice device(server.hostAndPort());
    Vorn::registerWithAppKey("key");
    const auto began = Clock::now();
    std::vector<std::unique_ptr<Call>> calls;
    for (int i = 0; i < 8; ++i) calls.push_back(std::make_unique<Call>());
    // curl judges "no progress" over a window of several seconds: about 7 s here.
    for (auto& call : calls) EXPECT_EQ(call->waitForCode(20s), 20002);
    EXPECT_GE(Clock::now() - began, 1s);
    // The library gave the connections up; it did not leave them hanging.
    EXPECT_TRUE(test::runUntil([&] { return server.droppedByClient() == 8; }));
}

TEST(ServiceTimeout, ASynchronousCallThatNeverGetsItsReplyReturnsNothing) {
    ShortTimeout timeout(1);
    ScriptedHttpServer server([](const test::RecordedRequest&) { return ScriptedAction::hang(); });
    test::TestDevice device(server.hostAndPort());
    Vorn::registerWithAppKey("key");
    EXPECT_EQ(Vorn::getServerTimestamp(), "");
    EXPECT_TRUE(test::runUntil([&] { return server.droppedByClient() == 1; }));
}
