#include "support/ScriptedHttpServer.h"
#include "support/TestLoop.h"

#include "vorn/core/MainLoop.h"
#include "vorn/net/HttpTransport.h"
#include "vorn/net/VornUrlRequest.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace vorn;
using test::RecordedRequest;
using test::ScriptedAction;
using test::ScriptedHttpServer;

namespace {

/// What a request reported through its handlers.
struct Outcome {
    int completed = 0;
    int failed = 0;
    std::vector<float> progress;
    bool onMainLoop = true;
    bool done() const { return completed + failed > 0; }
};

void watch(VornUrlRequest& request, Outcome& outcome) {
    request.setCompletionBlock([&] {
        outcome.onMainLoop &= MainLoop::shared().isCurrentThread();
        ++outcome.completed;
    });
    request.setFailedBlock([&] {
        outcome.onMainLoop &= MainLoop::shared().isCurrentThread();
        ++outcome.failed;
    });
    request.getProgressBlock([&](float fraction) { outcome.progress.push_back(fraction); });
}

ScriptedHttpServer::Script echoBody() {
    return [](const RecordedRequest& request) { return ScriptedAction::reply(request.body); };
}

unsigned short closedPort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return acceptor.local_endpoint().port();  // closed when the acceptor goes
}

/// Records the connection events in the order they arrive.
class EventLog : public HttpConnectionDelegate {
public:
    std::vector<std::string> events;
    void didSendBodyData(const std::shared_ptr<HttpConnection>&, std::int64_t, std::int64_t) override {
        if (events.empty() || events.back() != "sent") events.push_back("sent");
    }
    void didReceiveResponse(const std::shared_ptr<HttpConnection>&, long status) override {
        events.push_back("response " + std::to_string(status));
    }
    void didReceiveData(const std::shared_ptr<HttpConnection>&, std::string) override {
        if (events.empty() || events.back() != "data") events.push_back("data");
    }
    void didFailWithError(const std::shared_ptr<HttpConnection>&, const std::string&) override {
        events.push_back("failed");
    }
    void connectionDidFinishLoading(const std::shared_ptr<HttpConnection>&) override { events.push_back("finished"); }
};

/// Records how an exchange ended.
class EndLog : public HttpConnectionDelegate {
public:
    int finished = 0;
    std::string error;
    bool ended() const { return finished > 0 || !error.empty(); }
    void didSendBodyData(const std::shared_ptr<HttpConnection>&, std::int64_t, std::int64_t) override {}
    void didReceiveResponse(const std::shared_ptr<HttpConnection>&, long) override {}
    void didReceiveData(const std::shared_ptr<HttpConnection>&, std::string) override {}
    void didFailWithError(const std::shared_ptr<HttpConnection>&, const std::string& text) override { error = text; }
    void connectionDidFinishLoading(const std::shared_ptr<HttpConnection>&) override { ++finished; }
};

/// A GET of `url`, with a time limit when one is given.
HttpMessage getOf(const std::string& url, std::chrono::milliseconds timeout = std::chrono::milliseconds(0)) {
    HttpMessage message;
    message.url = url;
    message.method = "GET";
    message.timeout = timeout;
    return message;
}

/// Holds the server's answers to "/slow" until opened.
class Gate {
public:
    void waitOpen() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return open_; });
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

}  // namespace

TEST(HttpTransport, ExchangesBeyondTheHostLimitWaitTheirTurnWithTheirTimeLimitRunning) {
    Gate gate;
    std::atomic<std::size_t> arrived{0};  // requests are recorded only once answered
    ScriptedHttpServer server([&](const RecordedRequest& request) {
        ++arrived;
        if (request.target == "/slow") gate.waitOpen();
        return ScriptedAction::reply("ok");
    });
    const auto limit = static_cast<std::size_t>(HttpTransport::kMaxConnectionsPerHost);
    std::vector<std::shared_ptr<EndLog>> slow;
    for (std::size_t i = 0; i < limit; ++i) {
        slow.push_back(std::make_shared<EndLog>());
        HttpTransport::shared().start(getOf(server.url("/slow")), slow.back());
    }
    // Beyond the limit: one that waits without a limit, one whose limit
    // passes while it waits, one cancelled while it waits.
    auto patient = std::make_shared<EndLog>();
    HttpTransport::shared().start(getOf(server.url("/patient"), std::chrono::seconds(20)), patient);
    auto hurried = std::make_shared<EndLog>();
    HttpTransport::shared().start(getOf(server.url("/hurried"), std::chrono::milliseconds(300)), hurried);
    auto dropped = std::make_shared<EndLog>();
    auto cancelled = HttpTransport::shared().start(getOf(server.url("/cancelled")), dropped);
    ASSERT_TRUE(test::runUntil([&] { return arrived == limit; }));
    HttpTransport::shared().cancel(cancelled);

    ASSERT_TRUE(test::runUntil([&] { return hurried->ended(); }));
    EXPECT_EQ(hurried->error, "Timeout was reached");
    EXPECT_EQ(arrived, limit);  // nothing beyond the limit was sent meanwhile
    EXPECT_FALSE(patient->ended());

    gate.open();
    ASSERT_TRUE(test::runUntil([&] {
        return patient->ended() && std::all_of(slow.begin(), slow.end(), [](const auto& log) { return log->ended(); });
    }));
    EXPECT_EQ(patient->finished, 1) << patient->error;
    for (const auto& log : slow) EXPECT_EQ(log->finished, 1) << log->error;
    EXPECT_FALSE(dropped->ended());
    std::vector<std::string> targets;
    for (const RecordedRequest& request : server.requests()) targets.push_back(request.target);
    EXPECT_EQ(std::count(targets.begin(), targets.end(), "/patient"), 1);
    EXPECT_EQ(std::count(targets.begin(), targets.end(), "/hurried"), 0);
    EXPECT_EQ(std::count(targets.begin(), targets.end(), "/cancelled"), 0);
}

TEST(HttpTransport, ConnectionsClosedAfterEachReplyAreReplacedAndExchangesStartedOffTheLoopRunOnIt) {
    // Each reply closes its connection, so socket numbers come free and are
    // used again by the next connections.
    ScriptedHttpServer server([](const RecordedRequest& request) {
        return ScriptedAction::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(request.target.size()) +
                                        "\r\nConnection: close\r\n\r\n" + request.target);
    });
    constexpr int kExchanges = 40;
    std::vector<std::shared_ptr<EndLog>> logs;
    for (int i = 0; i < kExchanges; ++i) logs.push_back(std::make_shared<EndLog>());
    // Half are started from another thread.
    std::thread other([&] {
        for (int i = 0; i < kExchanges; i += 2) {
            HttpTransport::shared().start(getOf(server.url("/" + std::to_string(i))), logs[i]);
        }
    });
    for (int i = 1; i < kExchanges; i += 2) {
        HttpTransport::shared().start(getOf(server.url("/" + std::to_string(i))), logs[i]);
    }
    other.join();
    ASSERT_TRUE(test::runUntil(
        [&] { return std::all_of(logs.begin(), logs.end(), [](const auto& log) { return log->ended(); }); }));
    for (const auto& log : logs) EXPECT_EQ(log->finished, 1) << log->error;
    EXPECT_EQ(server.acceptedConnections(), kExchanges);
    // And a connection kept alive afterwards still serves.
    ScriptedHttpServer kept(echoBody());
    for (int i = 0; i < 3; ++i) {
        auto log = std::make_shared<EndLog>();
        HttpTransport::shared().start(getOf(kept.url("/")), log);
        ASSERT_TRUE(test::runUntil([&] { return log->ended(); }));
        EXPECT_EQ(log->finished, 1) << log->error;
    }
    EXPECT_EQ(kept.acceptedConnections(), 1);
}

TEST(HttpTransport, EventsArriveInOrderOnTheMainLoop) {
    ScriptedHttpServer server(echoBody());
    auto log = std::make_shared<EventLog>();
    HttpMessage message{server.url("/echo"), "POST", {}, std::make_shared<const std::string>(64 * 1024, 'x')};
    auto connection = HttpTransport::shared().start(message, log);
    ASSERT_TRUE(test::runUntil([&] { return !log->events.empty() && log->events.back() == "finished"; }));
    EXPECT_EQ(log->events, (std::vector<std::string>{"sent", "response 200", "data", "finished"}));
    // A finished connection lets go of its delegate.
    connection->release();
    EXPECT_EQ(connection->delegate(), nullptr);
}

TEST(UrlRequest, FormValuesBecomeTheBodyWhenNoneWasSet) {
    ScriptedHttpServer server(echoBody());
    auto request = VornUrlRequest::requestWithUrl(server.url("/form"));
    request->setPostValue("1", "a");
    request->setPostValue("", "ignored");
    request->setPostValue("2", "");
    EXPECT_EQ(request->postString(), "a=1&");
    Outcome outcome;
    watch(*request, outcome);
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return outcome.done(); }));
    EXPECT_EQ(outcome.completed, 1);
    EXPECT_TRUE(outcome.onMainLoop);
    EXPECT_EQ(server.requests().at(0).body, "a=1&");
    EXPECT_EQ(request->responseString(), "a=1&");
    EXPECT_EQ(request->responseData(), "a=1&");
}

TEST(UrlRequest, SetBodyIsSentUnchangedAndHeadersAppend) {
    ScriptedHttpServer server(echoBody());
    auto request = VornUrlRequest::initWithUrl(server.url("/body"));
    request->setPostValue("1", "a");
    request->setPostBody("{\"raw\": true}");
    request->addValue("one", "X-Test");
    request->addValue("two", "x-test");
    request->setHttpMethod("PUT");
    Outcome outcome;
    watch(*request, outcome);
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return outcome.done(); }));
    const auto received = server.requests().at(0);
    EXPECT_EQ(received.method, "PUT");
    EXPECT_EQ(received.body, "{\"raw\": true}");
    EXPECT_EQ(received.header("X-Test"), "one,two");
    EXPECT_EQ(received.header("Accept-Encoding"), "gzip,deflate,sdch");
    EXPECT_EQ(received.header("Expect"), "");
}

TEST(UrlRequest, ProgressReportsFractionsOfTheBody) {
    ScriptedHttpServer server([](const RecordedRequest&) { return ScriptedAction::reply("{}"); });
    auto request = VornUrlRequest::requestWithUrl(server.url("/upload"));
    request->setPostBody(std::string(2 * 1024 * 1024, 'z'));
    Outcome outcome;
    watch(*request, outcome);
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return outcome.done(); }));
    ASSERT_FALSE(outcome.progress.empty());
    EXPECT_FLOAT_EQ(outcome.progress.back(), 1.0f);
    for (std::size_t i = 0; i < outcome.progress.size(); ++i) {
        EXPECT_GT(outcome.progress[i], 0.0f);
        if (i > 0) {
            EXPECT_GE(outcome.progress[i], outcome.progress[i - 1]);
        }
    }
    EXPECT_EQ(server.requests().at(0).body.size(), 2u * 1024 * 1024);
}

TEST(UrlRequest, EventsOfOtherConnectionsChangeNothing) {
    auto request = VornUrlRequest::initWithUrl("http://127.0.0.1:1/");
    Outcome outcome;
    watch(*request, outcome);
    auto stranger = std::make_shared<HttpConnection>(nullptr);
    request->didSendBodyData(stranger, 512, 1024);
    request->didReceiveData(stranger, "bytes");
    request->connectionDidFinishLoading(stranger);
    request->didFailWithError(stranger, "error");
    EXPECT_TRUE(outcome.progress.empty());
    EXPECT_EQ(outcome.completed + outcome.failed, 0);
    EXPECT_FALSE(request->responseData());
}

TEST(UrlRequest, EmptyReplyCompletesWithZeroBytes) {
    ScriptedHttpServer server([](const RecordedRequest&) { return ScriptedAction::reply(""); });
    auto request = VornUrlRequest::requestWithUrl(server.url("/empty"));
    EXPECT_FALSE(request->responseData());
    EXPECT_EQ(request->responseString(), "");
    Outcome outcome;
    watch(*request, outcome);
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return outcome.done(); }));
    EXPECT_EQ(outcome.completed, 1);
    ASSERT_TRUE(request->responseData());
    EXPECT_EQ(request->responseData()->size(), 0u);
    EXPECT_EQ(request->responseString(), "");
}

TEST(UrlRequest, HttpErrorWithBodyStillCompletes) {
    ScriptedHttpServer server([](const RecordedRequest&) { return ScriptedAction::reply("{\"oops\": 1}", 500); });
    auto request = VornUrlRequest::requestWithUrl(server.url("/error"));
    Outcome outcome;
    watch(*request, outcome);
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return outcome.done(); }));
    EXPECT_EQ(outcome.completed, 1);
    EXPECT_EQ(request->responseString(), "{\"oops\": 1}");
}

TEST(UrlRequest, CompressedRepliesAreDecoded) {
    static const char kGzip[] =
        "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xab\x56\x4a\xce\xcf\x2d\x28\x4a\x2d\x2e\x4e\x4d\x51\xb2\x52\x28"
        "\x29\x2a\x4d\xad\x05\x00\xbd\xa5\x2c\x2d\x14\x00\x00\x00";
    ScriptedHttpServer server([](const RecordedRequest&) {
        auto action = ScriptedAction::reply(std::string(kGzip, sizeof(kGzip) - 1));
        action.headers.emplace_back("Content-Encoding", "gzip");
        return action;
    });
    auto request = VornUrlRequest::requestWithUrl(server.url("/gzip"));
    Outcome outcome;
    watch(*request, outcome);
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return outcome.done(); }));
    EXPECT_EQ(request->responseString(), "{\"compressed\": true}");
}

TEST(UrlRequest, InvalidUtf8LeavesTheTextEmptyButKeepsTheBytes) {
    ScriptedHttpServer server([](const RecordedRequest&) { return ScriptedAction::reply("\xff\xfe"); });
    auto request = VornUrlRequest::requestWithUrl(server.url("/bytes"));
    Outcome outcome;
    watch(*request, outcome);
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return outcome.done(); }));
    EXPECT_EQ(request->responseData(), "\xff\xfe");
    EXPECT_EQ(request->responseString(), "");
}

TEST(UrlRequest, ARestartedRequestReportsOnlyItsNewConnection) {
    int served = 0;
    ScriptedHttpServer server([&](const RecordedRequest&) {
        return served++ == 0 ? ScriptedAction::hang() : ScriptedAction::reply("second");
    });
    auto request = VornUrlRequest::requestWithUrl(server.url("/slow"));
    Outcome outcome;
    watch(*request, outcome);
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return server.requests().size() == 1; }));
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return outcome.done() && server.droppedByClient() == 1; }));
    test::drainLoop();
    EXPECT_EQ(outcome.completed, 1);
    EXPECT_EQ(outcome.failed, 0);
    EXPECT_EQ(request->responseString(), "second");
}

TEST(UrlRequest, CancelledRequestCallsNoHandler) {
    ScriptedHttpServer server([](const RecordedRequest&) { return ScriptedAction::hang(); });
    std::weak_ptr<VornUrlRequest> weak;
    Outcome outcome;
    {
        auto request = VornUrlRequest::requestWithUrl(server.url("/hang"));
        weak = request;
        watch(*request, outcome);
        request->startAsyncConnection();
        ASSERT_TRUE(test::runUntil([&] { return server.requests().size() == 1; }));
        EXPECT_TRUE(request->isRunning());
        request->cancle();
        EXPECT_FALSE(request->isRunning());
    }
    // The transport closes the connection; nothing is reported afterwards,
    // and the cancelled request is no longer kept alive.
    ASSERT_TRUE(test::runUntil([&] { return server.droppedByClient() == 1; }));
    test::drainLoop();
    EXPECT_EQ(outcome.completed + outcome.failed, 0);
    EXPECT_TRUE(weak.expired());
}

TEST(UrlRequest, UnreachableOrUnusableAddressesFail) {
    for (const std::string& url : {"http://127.0.0.1:" + std::to_string(closedPort()) + "/x", std::string("/timestamp"),
                                   std::string("ftp://127.0.0.1/x")}) {
        auto request = VornUrlRequest::requestWithUrl(url);
        Outcome outcome;
        watch(*request, outcome);
        request->startAsyncConnection();
        ASSERT_TRUE(test::runUntil([&] { return outcome.done(); })) << url;
        EXPECT_EQ(outcome.failed, 1) << url;
        EXPECT_EQ(outcome.completed, 0);
        EXPECT_FALSE(request->responseData());
    }
}

TEST(UrlRequest, RequestStaysAliveWhileRunning) {
    ScriptedHttpServer server(echoBody());
    Outcome outcome;
    std::weak_ptr<VornUrlRequest> weak;
    {
        auto request = VornUrlRequest::requestWithUrl(server.url("/alive"));
        weak = request;
        request->setPostBody("ping");
        watch(*request, outcome);
        request->startAsyncConnection();
    }
    EXPECT_FALSE(weak.expired());
    ASSERT_TRUE(test::runUntil([&] { return outcome.done(); }));
    EXPECT_EQ(outcome.completed, 1);
    test::drainLoop();
    EXPECT_TRUE(weak.expired());
}

TEST(UrlRequest, SynchronousRunFillsTheResponseOrLeavesItAbsent) {
    ScriptedHttpServer server(echoBody());
    auto request = VornUrlRequest::initWithUrl(server.url("/sync"));
    request->setPostBody("hello");
    Outcome outcome;
    watch(*request, outcome);
    request->startSyncConnection();
    EXPECT_EQ(request->responseData(), "hello");
    EXPECT_EQ(request->responseString(), "hello");
    EXPECT_EQ(outcome.completed + outcome.failed, 0);  // no handler is called

    auto failing = VornUrlRequest::initWithUrl("http://127.0.0.1:" + std::to_string(closedPort()) + "/");
    failing->startSyncConnection();
    EXPECT_FALSE(failing->responseData());
    EXPECT_EQ(failing->responseString(), "");
}

TEST(UrlRequest, CancelInTheSameTurnAsTheStartSendsNothing) {
    ScriptedHttpServer server(echoBody());
    auto request = VornUrlRequest::requestWithUrl(server.url("/cancelled"));
    auto token = std::make_shared<int>(0);
    Outcome outcome;
    watch(*request, outcome);
    request->setCompletionBlock([token, &outcome] { ++outcome.completed; });
    request->startAsyncConnection();
    request->cancle();
    EXPECT_EQ(token.use_count(), 1);  // the handlers are let go at once

    // A later request on the same transport goes out; the cancelled one never did.
    auto later = VornUrlRequest::requestWithUrl(server.url("/later"));
    Outcome laterOutcome;
    watch(*later, laterOutcome);
    later->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return laterOutcome.done(); }));
    test::drainLoop();
    EXPECT_EQ(outcome.completed + outcome.failed, 0);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/later");
}

TEST(UrlRequest, CancelWhileRunningReleasesTheHandlers) {
    ScriptedHttpServer server([](const RecordedRequest&) { return ScriptedAction::hang(); });
    auto request = VornUrlRequest::requestWithUrl(server.url("/hang"));
    auto token = std::make_shared<int>(0);
    request->setCompletionBlock([token] {});
    request->setFailedBlock([token] {});
    request->getProgressBlock([token](float) {});
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return server.requests().size() == 1; }));
    request->cancle();
    EXPECT_EQ(token.use_count(), 1);
}

TEST(UrlRequest, ARequestStartedAgainAfterItEndedReportsAgain) {
    ScriptedHttpServer server(echoBody());
    auto request = VornUrlRequest::requestWithUrl(server.url("/again"));
    Outcome outcome;
    watch(*request, outcome);
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return outcome.completed == 1; }));
    request->startAsyncConnection();
    ASSERT_TRUE(test::runUntil([&] { return outcome.completed == 2; }));
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST(UrlRequest, HeadersWithLineBreaksOrNulAreNeverSent) {
    ScriptedHttpServer server(echoBody());
    const std::vector<std::pair<std::string, std::string>> unsafe = {{"X-Token", "abc\r\nX-Injected: 1"},
                                                                     {"X-Token", "abc\nX-Injected: 1"},
                                                                     {"X-Token", std::string("a\0b", 3)},
                                                                     {"X-Bad\r\nX-Injected", "1"},
                                                                     {"X-Bad: 1", "2"},
                                                                     {"", "empty name"}};
    for (const auto& [name, value] : unsafe) {
        auto request = VornUrlRequest::requestWithUrl(server.url("/unsafe"));
        request->addValue(value, name);
        Outcome outcome;
        watch(*request, outcome);
        request->startAsyncConnection();
        ASSERT_TRUE(test::runUntil([&] { return outcome.done(); }));
        EXPECT_EQ(outcome.failed, 1) << name;
        EXPECT_TRUE(outcome.onMainLoop);

        auto sync = VornUrlRequest::initWithUrl(server.url("/unsafe-sync"));
        sync->addValue(value, name);
        sync->startSyncConnection();
        EXPECT_FALSE(sync->responseData());
    }
    EXPECT_TRUE(server.requests().empty());
}
