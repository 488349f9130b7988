// The session and the polling transport against a scripted HTTP peer.
#include "RealtimeTestSupport.h"
#include "support/ScriptedHttpServer.h"
#include "vorn/realtime/SocketIOTransportWebsocket.h"
#include "vorn/realtime/SocketIOTransportXHR.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>

namespace vorn::session_test {

using test::PollingPeer;
using test::RecordedRequest;
using test::runUntil;
using test::ScriptedAction;
using test::ScriptedHttpServer;
using test::Session;
using test::SocketIORecorder;

/// A handshake that answers `reply`, then holds polls until released.
ScriptedAction handshakeOnly(const RecordedRequest& request, const std::string& reply) {
    if (request.target.starts_with("/socket.io/1/?")) return ScriptedAction::reply(reply);
    return ScriptedAction::hang();
}

TEST(SocketIOHandshake, ReplyPicksSidHeartbeatAndTransport) {
    ScriptedHttpServer server(
        [](const RecordedRequest& r) { return handshakeOnly(r, "abc:25:60:websocket,xhr-polling"); });
    Session s;
    s.socket->connectToHost("127.0.0.1", server.port(), SocketIOParams{{"b", "2"}, {"a", "x%20y"}});
    EXPECT_TRUE(s.socket->isConnecting());
    ASSERT_TRUE(runUntil([&] { return s.socket->transport() != nullptr; }));
    EXPECT_EQ(s.socket->sid(), "abc");
    EXPECT_DOUBLE_EQ(s.socket->heartbeatTimeout(), 32.0);
    EXPECT_NE(std::dynamic_pointer_cast<SocketIOTransportWebsocket>(s.socket->transport()), nullptr);
    EXPECT_TRUE(s.socket->isConnecting());
    EXPECT_FALSE(s.socket->isConnected());

    const RecordedRequest handshake = server.requests().at(0);
    EXPECT_EQ(handshake.method, "GET");
    // "t" in milliseconds, then the params unescaped in their order.
    ASSERT_TRUE(handshake.target.starts_with("/socket.io/1/?t="));
    const std::string rest = handshake.target.substr(16);
    const std::size_t amp = rest.find('&');
    EXPECT_EQ(amp, 13u) << rest;
    EXPECT_EQ(rest.substr(amp), "&b=2&a=x%20y");
    s.socket->disconnect();
}

TEST(SocketIOHandshake, OnlyPollingOfferedGivesThePollingTransport) {
    ScriptedHttpServer server([](const RecordedRequest& r) { return handshakeOnly(r, "s1:10:60:xhr-polling"); });
    Session s;
    s.socket->setCookies(std::vector<VornHttpCookie>{{"k", "v"}, {"j", "w"}});
    s.socket->connectToHost("127.0.0.1", server.port());
    ASSERT_TRUE(runUntil([&] { return !server.requests().empty(); }));
    ASSERT_TRUE(runUntil([&] { return server.requests().size() >= 2; }));
    auto xhr = std::dynamic_pointer_cast<SocketIOTransportXHR>(s.socket->transport());
    ASSERT_NE(xhr, nullptr);
    EXPECT_EQ(xhr->url(), "http://127.0.0.1:" + std::to_string(server.port()) + "/socket.io/1/xhr-polling/s1");
    EXPECT_EQ(server.requests()[0].header("cookie"), "k=v; j=w");
    const RecordedRequest poll = server.requests()[1];
    EXPECT_EQ(poll.method, "GET");
    EXPECT_TRUE(poll.target.starts_with("/socket.io/1/xhr-polling/s1?t=")) << poll.target;
    EXPECT_EQ(poll.header("connection"), "Keep-Alive");
    s.socket->disconnect();
}

TEST(SocketIOHandshake, InvalidRepliesReportMinusOneTwice) {
    for (const char* reply : {"abc:25:60", ":25:60:websocket", "abc:0:60:websocket", "", "error:25:60:websocket",
                              "x:25:60:websocket", "\xC3\xA9:25:60:websocket"}) {
        ScriptedHttpServer server([reply](const RecordedRequest& r) { return handshakeOnly(r, reply); });
        Session s;
        s.socket->connectToHost("127.0.0.1", server.port());
        ASSERT_TRUE(runUntil([&] { return s.recorder->disconnects == 1; })) << reply;
        ASSERT_EQ(s.recorder->errors.size(), 1u) << reply;
        EXPECT_EQ(s.recorder->errors[0].domain, kSocketIOErrorDomain);
        EXPECT_EQ(s.recorder->errors[0].code, -1) << reply;
        ASSERT_TRUE(s.recorder->disconnectError);
        EXPECT_EQ(s.recorder->disconnectError->code, -1);
        EXPECT_FALSE(s.socket->isConnecting());
        EXPECT_FALSE(s.socket->sid());
        EXPECT_EQ(server.requests().size(), 1u) << "nothing opened for " << reply;
    }
    // A single digit is a session id like any other.
    ScriptedHttpServer server([](const RecordedRequest& r) { return handshakeOnly(r, "7:25:60:xhr-polling"); });
    Session s;
    s.socket->connectToHost("127.0.0.1", server.port());
    ASSERT_TRUE(runUntil([&] { return server.requests().size() >= 2; }));
    EXPECT_EQ(s.socket->sid(), "7");
    EXPECT_TRUE(s.recorder->errors.empty());
    s.socket->disconnect();
}

TEST(SocketIOHandshake, NoKnownTransportStatusesAndFailures) {
    {
        ScriptedHttpServer server([](const RecordedRequest& r) { return handshakeOnly(r, "abc:25:60:flashsocket"); });
        Session s;
        s.socket->connectToHost("127.0.0.1", server.port());
        ASSERT_TRUE(runUntil([&] { return s.recorder->disconnects == 1; }));
        ASSERT_EQ(s.recorder->errors.size(), 1u);
        EXPECT_EQ(s.recorder->errors[0].code, -5);
        EXPECT_EQ(s.recorder->disconnectError->code, -5);
    }
    for (int status : {403, 500}) {
        ScriptedHttpServer server([status](const RecordedRequest&) { return ScriptedAction::reply("no", status); });
        Session s;
        s.socket->connectToHost("127.0.0.1", server.port());
        ASSERT_TRUE(runUntil([&] { return !s.recorder->errors.empty(); }));
        test::drainLoop();
        const VornError& error = s.recorder->errors[0];
        EXPECT_EQ(error.code, status == 403 ? -8 : -6);
        EXPECT_EQ(error.userInfo.at(kSocketIOUnderlyingErrorCodeKey), std::to_string(status));
        EXPECT_EQ(error.userInfo.at(kSocketIOUnderlyingErrorKey),
                  "Server returned status code " + std::to_string(status));
        EXPECT_EQ(s.recorder->disconnects, 0) << "a failed handshake reports no disconnect";
        EXPECT_FALSE(s.socket->isConnecting());
    }
    {
        // Nobody listens: the connection fails (-6), and the session can start again.
        unsigned short port = 0;
        {
            ScriptedHttpServer closed([](const RecordedRequest&) { return ScriptedAction::close(); });
            port = closed.port();
        }
        Session s;
        s.socket->connectToHost("127.0.0.1", port);
        ASSERT_TRUE(runUntil([&] { return !s.recorder->errors.empty(); }));
        EXPECT_EQ(s.recorder->errors[0].code, -6);
        EXPECT_FALSE(s.socket->isConnecting());
        s.socket->connectToHost("127.0.0.1", port);
        EXPECT_TRUE(s.socket->isConnecting());
        s.socket->disconnect();
    }
}

TEST(SocketIOHandshake, LocalizedStatusTextAndResourceName) {
    SocketIOSetLocalizedStrings({{"Server returned status code %d", "Statuscode %d vom Server"}});
    EXPECT_EQ(SocketIOStatusMessage(502), "Statuscode 502 vom Server");
    SocketIOSetLocalizedStrings({{"Server returned status code %d", "%s %n"}});
    EXPECT_EQ(SocketIOStatusMessage(502), "%s %n");
    SocketIOSetLocalizedStrings({});
    EXPECT_EQ(SocketIOStatusMessage(404), "Server returned status code 404");

    ScriptedHttpServer server([](const RecordedRequest&) { return ScriptedAction::reply(""); });
    SocketIO::setResourceName("rt");
    Session s;
    s.socket->connectToHost("127.0.0.1", server.port());
    SocketIO::setResourceName("socket.io");
    ASSERT_TRUE(runUntil([&] { return s.recorder->disconnects == 1; }));
    EXPECT_TRUE(server.requests().at(0).target.starts_with("/rt/1/?t="));
}

TEST(SocketIODisconnect, IdleReportsNothingHandshakingReportsNoError) {
    Session idle;
    idle.socket->disconnect();
    test::drainLoop();
    EXPECT_EQ(idle.recorder->disconnects, 0);

    ScriptedHttpServer server([](const RecordedRequest&) { return ScriptedAction::hang(); });
    Session s;
    s.socket->connectToHost("127.0.0.1", server.port());
    ASSERT_TRUE(runUntil([&] { return !server.requests().empty(); }));
    s.socket->disconnect();
    EXPECT_EQ(s.recorder->disconnects, 1);
    EXPECT_FALSE(s.recorder->disconnectError);
    EXPECT_FALSE(s.socket->isConnecting());
    test::drainLoop();
    EXPECT_TRUE(s.recorder->errors.empty());
}

TEST(SocketIOTransportURLs, PortZeroAndSecureForms) {
    struct Values : SocketIOTransportDelegate {
        void onData(const std::string&) override {}
        void onDisconnect(const OptionalError&) override {}
        void onError(const VornError&) override {}
        std::string host() const override { return "rt.example"; }
        std::int64_t port() const override { return port_; }
        std::optional<std::string> sid() const override { return "s9"; }
        double heartbeatTimeout() const override { return 1; }
        bool useSecure() const override { return secure; }
        std::int64_t port_ = 0;
        bool secure = false;
    } values;
    EXPECT_EQ(SocketIOTransportWebsocket::urlFor(values), "ws://rt.example/socket.io/1/websocket/s9");
    EXPECT_EQ(SocketIOTransportXHR::urlFor(values), "http://rt.example/socket.io/1/xhr-polling/s9");
    values.port_ = 3010;
    EXPECT_EQ(SocketIOTransportWebsocket::urlFor(values), "ws://rt.example:3010/socket.io/1/websocket/s9");
    values.secure = true;
    EXPECT_EQ(SocketIOTransportWebsocket::urlFor(values), "wss://rt.example:3010/socket.io/1/websocket/s9");
    EXPECT_EQ(SocketIOTransportXHR::urlFor(values), "https://rt.example:3010/socket.io/1/xhr-polling/s9");
}

TEST(SocketIOPolling, OverlappingPostsOneGetAndQueuedPacketsInOrder) {
    PollingPeer peer([](const RecordedRequest&) { return ScriptedAction::reply("1"); });
    Session s;
    s.socket->connectToHost("127.0.0.1", peer.server().port());
    // Sent while handshaking: queued, then sent in order once connected.
    s.socket->sendMessage("first");
    s.socket->sendEvent("second", nlohmann::json::array({1, 2}));
    EXPECT_EQ(s.socket->queuedPacketCount(), 2u);
    ASSERT_TRUE(runUntil([&] { return s.recorder->connects == 1 && peer.posts().size() >= 2; }));
    // Handed to the transport in order; the two POSTs overlap, so the
    // server may see them in either order.
    ASSERT_EQ(s.recorder->sent.size(), 2u);
    EXPECT_EQ(s.recorder->sent[0].data, "first");
    EXPECT_EQ(s.recorder->sent[1].type, "event");
    auto posts = peer.posts();
    std::set<std::string> bodies{posts[0].body, posts[1].body};
    EXPECT_EQ(bodies, (std::set<std::string>{"3:::first", R"(5:::{"args":[[1,2]],"name":"second"})"}));
    EXPECT_EQ(posts[0].header("content-type"), "text/plain; charset=UTF-8");
    EXPECT_EQ(posts[0].header("connection"), "Keep-Alive");

    // Two more at once: two POSTs, still one GET held.
    s.socket->sendMessage("a");
    s.socket->sendMessage("b");
    ASSERT_TRUE(runUntil([&] { return peer.posts().size() >= 4; }));
    auto xhr = std::dynamic_pointer_cast<SocketIOTransportXHR>(s.socket->transport());
    ASSERT_TRUE(runUntil([&] { return xhr->pollCount() == 1; }));
    EXPECT_EQ(xhr->getCount(), 1u);
    ASSERT_TRUE(runUntil([&] { return peer.gets() == 2; }));
    // "1" bodies delivered nothing.
    EXPECT_TRUE(s.recorder->messages.empty());

    // The held GET answers two framed packets; a new GET replaces it.
    const std::string f = "\xEF\xBF\xBD";
    peer.release(f + "7" + f + "3:::one" + f + "19" + f + R"(5:::{"name":"ev","args":[true]})");
    ASSERT_TRUE(runUntil([&] { return s.recorder->events.size() == 1 && peer.gets() == 3; }));
    ASSERT_EQ(s.recorder->messages.size(), 1u);
    EXPECT_EQ(s.recorder->messages[0].data, "one");
    EXPECT_EQ(s.recorder->events[0].name, "ev");
    EXPECT_EQ(s.recorder->events[0].args, nlohmann::json::array({true}));
    EXPECT_EQ(xhr->getCount(), 1u);
    s.socket->disconnect();
}

TEST(SocketIOPolling, HeartbeatAcksAndServerDisconnect) {
    PollingPeer peer([](const RecordedRequest&) { return ScriptedAction::reply("1"); });
    Session s;
    s.socket->connectToHost("127.0.0.1", peer.server().port());
    ASSERT_TRUE(runUntil([&] { return s.recorder->connects == 1; }));

    nlohmann::json first, second;
    int calls = 0;
    s.socket->sendMessage("m", [&](const nlohmann::json& data) {
        first = data;
        ++calls;
    });
    s.socket->setReturnAllDataFromAck(false);
    ASSERT_TRUE(runUntil([&] { return !peer.posts().empty(); }));
    EXPECT_EQ(peer.posts()[0].body, "3:1::m");

    peer.release("2::");
    ASSERT_TRUE(runUntil([&] { return peer.posts().size() == 2; }));
    EXPECT_EQ(peer.posts()[1].body, "2::");

    peer.release(R"(6:::1+["x","y"])");
    ASSERT_TRUE(runUntil([&] { return calls == 1; }));
    EXPECT_EQ(first, "x");
    EXPECT_EQ(s.socket->pendingAcknowledgementCount(), 0u);
    // A second ack for id 1 does nothing.
    peer.release(R"(6:::1+["z"])");
    ASSERT_TRUE(runUntil([&] { return peer.gets() >= 5; }));
    test::drainLoop();
    EXPECT_EQ(calls, 1);

    s.socket->setReturnAllDataFromAck(true);
    s.socket->sendEvent("e", std::nullopt, [&](const nlohmann::json& data) { second = data; });
    ASSERT_TRUE(runUntil([&] { return peer.posts().size() == 3; }));
    EXPECT_EQ(peer.posts()[2].body, R"(5:2+::{"name":"e"})");
    peer.release(R"(6:::2+["x","y"])");
    ASSERT_TRUE(runUntil([&] { return second.is_array(); }));
    EXPECT_EQ(second, nlohmann::json::array({"x", "y"}));

    peer.release("0::");
    ASSERT_TRUE(runUntil([&] { return s.recorder->disconnects == 1; }));
    EXPECT_EQ(s.recorder->disconnectError->code, -2);
    EXPECT_FALSE(s.socket->isConnected());
}

TEST(SocketIOPolling, StatusErrorsAndThreeFailedAttempts) {
    std::atomic<int> postsSeen{0};
    PollingPeer peer([&](const RecordedRequest& r) {
        ++postsSeen;
        if (r.body == "3:::bad") return ScriptedAction::reply("gone", 410);
        return ScriptedAction::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n1");
    });
    Session s;
    s.socket->connectToHost("127.0.0.1", peer.server().port());
    ASSERT_TRUE(runUntil([&] { return s.recorder->connects == 1; }));

    s.socket->sendMessage("bad");
    ASSERT_TRUE(runUntil([&] { return !s.recorder->errors.empty(); }));
    EXPECT_EQ(s.recorder->errors[0].code, 410);
    EXPECT_EQ(s.recorder->errors[0].message(), "Server returned status code 410");
    auto xhr = std::dynamic_pointer_cast<SocketIOTransportXHR>(s.socket->transport());
    EXPECT_EQ(xhr->pollCount(), 2u) << "the refused POST stays beside the GET";

    s.socket->sendMessage("lost");
    ASSERT_TRUE(runUntil([&] { return s.recorder->errors.size() == 2; }));
    const VornError& failed = s.recorder->errors[1];
    EXPECT_EQ(failed.code, -7);
    EXPECT_EQ(failed.userInfo.at("data"), "3:::lost");
    EXPECT_FALSE(failed.userInfo.at("reason").empty());
    EXPECT_EQ(postsSeen.load(), 4) << "one refused, three attempts of the other";
    s.socket->disconnect();
    // The "disconnect" packet still goes out after the transport closed.
    ASSERT_TRUE(runUntil([&] { return postsSeen.load() >= 5; }));
}

}  // namespace vorn::session_test
