// The session against servers that send what they should not: packets in
// other namespaces, framed bodies with U+FFFD inside, bodies too large or
// nested too deep, handshakes that never lead to a connection.
#include "RealtimeTestSupport.h"
#include "support/ScriptedHttpServer.h"
#include "support/SmallStack.h"
#include "vorn/realtime/SocketIOTransportXHR.h"
#include "vorn_emulator/Realtime.h"

#include <gtest/gtest.h>
#include <unicode/unistr.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>

namespace vorn::hostile_session_test {

using test::PollingPeer;
using test::RecordedRequest;
using test::runUntil;
using test::ScriptedAction;
using test::ScriptedHttpServer;
using test::Session;
using test::SocketIORecorder;

const std::string kFFFD = "\xEF\xBF\xBD";

std::string framed(const std::vector<std::string>& packets) {
    std::string body;
    for (const std::string& packet : packets) {
        const auto units = icu::UnicodeString::fromUTF8(packet).length();
        body += kFFFD + std::to_string(units) + kFFFD + packet;
    }
    return body;
}

/// Connects a session to a polling peer (in `endpoint`, joined when given).
void connect(Session& s, PollingPeer& peer, const std::string& endpoint = "") {
    s.socket->connectToHost("127.0.0.1", peer.server().port(), std::nullopt, endpoint);
    if (!endpoint.empty()) {
        ASSERT_TRUE(runUntil([&] { return !peer.posts().empty(); }));
        EXPECT_EQ(peer.posts()[0].body, "1::" + endpoint);
        peer.release("1::" + endpoint);
    }
    ASSERT_TRUE(runUntil([&] { return s.recorder->connects == 1; }));
}

TEST(SocketIOHostile, AcknowledgementsGoToTheNamespaceOfThePacketTheyAnswer) {
    PollingPeer peer([](const RecordedRequest&) { return ScriptedAction::reply("1"); });
    Session s;
    connect(s, peer, "/chat");
    const std::size_t before = peer.posts().size();
    peer.release(R"(5:3+:/chat:{"name":"ask","args":[1]})");
    ASSERT_TRUE(runUntil([&] { return s.recorder->events.size() == 1; }));
    ASSERT_EQ(s.recorder->events[0].pId, "3");
    s.socket->sendAcknowledgement("3", nlohmann::json::array({"ok"}));
    // Without arguments the id still goes out; an id never received is
    // acknowledged in the session's namespace.
    s.socket->sendAcknowledgement("9", nullptr);
    ASSERT_TRUE(runUntil([&] { return peer.posts().size() >= before + 2; }));
    std::multiset<std::string> bodies;
    for (std::size_t i = before; i < peer.posts().size(); ++i) bodies.insert(peer.posts()[i].body);
    EXPECT_EQ(bodies, (std::multiset<std::string>{R"(6::/chat:3+["ok"])", "6::/chat:9"}));
    s.socket->disconnect();
}

TEST(SocketIOHostile, AcknowledgementsInTheDefaultNamespaceStayBare) {
    PollingPeer peer([](const RecordedRequest&) { return ScriptedAction::reply("1"); });
    Session s;
    connect(s, peer);
    peer.release(R"(3:12+::question)");
    ASSERT_TRUE(runUntil([&] { return s.recorder->messages.size() == 1; }));
    s.socket->sendAcknowledgement("12", nlohmann::json::array({1, 2}));
    s.socket->sendAcknowledgement("12", nlohmann::json(5));  // no array form: no arguments
    ASSERT_TRUE(runUntil([&] { return peer.posts().size() >= 2; }));
    std::multiset<std::string> bodies;
    for (const auto& post : peer.posts()) bodies.insert(post.body);
    EXPECT_EQ(bodies, (std::multiset<std::string>{"6:::12+[1,2]", "6:::12"}));
    s.socket->disconnect();
}

TEST(SocketIOHostile, FramedPacketsHoldingReplacementCharactersArriveWhole) {
    PollingPeer peer([](const RecordedRequest&) { return ScriptedAction::reply("1"); });
    Session s;
    connect(s, peer);
    peer.release(framed({R"(5:::{"name":"n","args":["a)" + kFFFD + R"(b"]})", "3:::after"}));
    ASSERT_TRUE(runUntil([&] { return s.recorder->messages.size() == 1; }));
    ASSERT_EQ(s.recorder->events.size(), 1u);
    EXPECT_EQ(s.recorder->events[0].name, "n");
    EXPECT_EQ(s.recorder->events[0].args, nlohmann::json::array({"a" + kFFFD + "b"}));
    EXPECT_EQ(s.recorder->messages[0].data, "after");
    s.socket->disconnect();
}

TEST(SocketIOHostile, DeeplyNestedEventsAreDroppedOnASmallStack) {
    PollingPeer peer([](const RecordedRequest&) { return ScriptedAction::reply("1"); });
    Session s;
    test::runOnSmallStack([&] {
        connect(s, peer);
        const std::string deep = test::deeplyNested(300000);
        peer.release(R"(5:::{"name":"n","args":)" + deep + "}");
        peer.release(R"(5:::{"name":"after","args":[)" + test::deeplyNested(200) + "]}");
        ASSERT_TRUE(runUntil([&] { return !s.recorder->events.empty(); }));
        // The deep one reaches the listener as an event with no name or
        // arguments (its data is no JSON it can read); the next one whole.
        ASSERT_TRUE(runUntil([&] { return s.recorder->events.size() == 2; }));
        EXPECT_FALSE(s.recorder->events[0].name);
        EXPECT_FALSE(s.recorder->events[0].args);
        EXPECT_EQ(s.recorder->events[1].name, "after");
        EXPECT_TRUE(s.socket->isConnected());
        s.socket->disconnect();
    });
}

/// A polling server that hands out sessions "s1", "s2", ...: each one's
/// first GET is answered "1::", later GETs hang, POSTs get "1".
class NumberedSessions {
public:
    NumberedSessions()
        : server_([this](const RecordedRequest& r) {
              std::lock_guard lock(mutex_);
              if (r.target.starts_with("/socket.io/1/?")) {
                  return ScriptedAction::reply("s" + std::to_string(++handshakes_) + ":25:60:xhr-polling");
              }
              if (r.method == "POST") return ScriptedAction::reply("1");
              const std::string sid = r.target.substr(0, r.target.find('?'));
              if (gets_[sid]++ == 0) return ScriptedAction::reply("1::");
              return ScriptedAction::hang();
          }) {}
    ScriptedHttpServer& server() { return server_; }

private:
    std::mutex mutex_;
    int handshakes_ = 0;
    std::map<std::string, int> gets_;
    ScriptedHttpServer server_;
};

TEST(SocketIOHostile, PacketsSentWhileReconnectingWaitForTheNewSession) {
    NumberedSessions peer;
    Session s;
    s.socket->connectToHost("127.0.0.1", peer.server().port());
    ASSERT_TRUE(runUntil([&] { return s.recorder->connects == 1; }));
    s.socket->disconnect();
    ASSERT_EQ(s.recorder->disconnects, 1);
    s.recorder->sent.clear();

    s.socket->connectToHost("127.0.0.1", peer.server().port());
    s.socket->sendMessage("hello");
    // Not handed to the ended session's transport: queued.
    EXPECT_TRUE(s.recorder->sent.empty());
    EXPECT_EQ(s.socket->queuedPacketCount(), 1u);
    ASSERT_TRUE(runUntil([&] { return s.recorder->connects == 2 && s.recorder->sent.size() == 1; }));
    std::vector<std::string> postedTo;
    ASSERT_TRUE(runUntil([&] {
        postedTo.clear();
        for (const auto& r : peer.server().requests()) {
            if (r.method == "POST" && r.body == "3:::hello") postedTo.push_back(r.target.substr(0, r.target.find('?')));
        }
        return !postedTo.empty();
    }));
    EXPECT_EQ(postedTo, std::vector<std::string>{"/socket.io/1/xhr-polling/s2"});
    s.socket->disconnect();
}

TEST(SocketIOHostile, AConnectionNeverAcceptedEndsWithinTheTimeout) {
    // Polling whose GETs hang, and a WebSocket upgrade that is never
    // answered: both end as a failed connect, and the session can start again.
    for (const char* transports : {"xhr-polling", "websocket"}) {
        std::atomic<int> handshakes{0};
        ScriptedHttpServer server([&](const RecordedRequest& r) {
            if (r.target.starts_with("/socket.io/1/?")) {
                ++handshakes;
                return ScriptedAction::reply(std::string("s1:25:60:") + transports);
            }
            return ScriptedAction::hang();
        });
        Session s;
        s.socket->connectToHost("127.0.0.1", server.port(), std::nullopt, "", 0.5);
        ASSERT_TRUE(runUntil([&] { return s.recorder->disconnects == 1; })) << transports;
        ASSERT_EQ(s.recorder->errors.size(), 1u);
        EXPECT_EQ(s.recorder->errors[0].code, kSocketIOErrorHandshakeFailed);
        ASSERT_TRUE(s.recorder->disconnectError);
        EXPECT_EQ(s.recorder->disconnectError->code, kSocketIOErrorHandshakeFailed);
        EXPECT_FALSE(s.socket->isConnecting());
        s.socket->connectToHost("127.0.0.1", server.port(), std::nullopt, "", 0.5);
        ASSERT_TRUE(runUntil([&] { return handshakes == 2; })) << transports;
        s.socket->disconnect();
    }
}

TEST(SocketIOHostile, APollThatKeepsFailingEndsWithinTheTimeout) {
    // The first GET gets 404: polling stops for good, the connect timer ends it.
    ScriptedHttpServer server([](const RecordedRequest& r) {
        if (r.target.starts_with("/socket.io/1/?")) return ScriptedAction::reply("s1:25:60:xhr-polling");
        return ScriptedAction::reply("gone", 404);
    });
    Session s;
    s.socket->connectToHost("127.0.0.1", server.port(), std::nullopt, "", 0.5);
    ASSERT_TRUE(runUntil([&] { return s.recorder->disconnects == 1; }));
    ASSERT_FALSE(s.recorder->errors.empty());
    EXPECT_EQ(s.recorder->errors.front().code, 404);
    EXPECT_EQ(s.recorder->disconnectError->code, kSocketIOErrorHandshakeFailed);
}

TEST(SocketIOHostile, HeartbeatsThatAreNoUsableNumberMakeTheHandshakeInvalid) {
    for (const char* heartbeat : {"inf", "nan", "-5", "1e300", "-0"}) {
        const std::string reply = std::string("s:") + heartbeat + ":60:websocket";
        ScriptedHttpServer server([&](const RecordedRequest& r) {
            if (r.target.starts_with("/socket.io/1/?")) return ScriptedAction::reply(reply);
            return ScriptedAction::hang();
        });
        Session s;
        s.socket->connectToHost("127.0.0.1", server.port());
        ASSERT_TRUE(runUntil([&] { return s.recorder->disconnects == 1; })) << heartbeat;
        ASSERT_EQ(s.recorder->errors.size(), 1u) << heartbeat;
        EXPECT_EQ(s.recorder->errors[0].code, kSocketIOErrorInvalidHandshake);
        EXPECT_EQ(s.recorder->disconnectError->code, kSocketIOErrorInvalidHandshake);
        EXPECT_EQ(server.requests().size(), 1u) << "nothing opened for " << heartbeat;
    }
}

void expectLimitEnd(const Session& s, const char* what) {
    ASSERT_FALSE(s.recorder->errors.empty()) << what;
    EXPECT_EQ(s.recorder->errors.back().code, kSocketIOErrorLimitExceeded) << what;
    ASSERT_TRUE(s.recorder->disconnectError) << what;
    EXPECT_EQ(s.recorder->disconnectError->code, kSocketIOErrorLimitExceeded) << what;
    EXPECT_FALSE(s.socket->isConnected());
}

TEST(SocketIOHostile, PassingALimitEndsTheSession) {
    SocketIOLimits limits;
    limits.maxPacketBytes = 1000;
    limits.maxPollingBodyBytes = 4000;
    {
        PollingPeer peer([](const RecordedRequest&) { return ScriptedAction::reply("1"); });
        Session s;
        s.socket->setLimits(limits);
        connect(s, peer);
        peer.release("3:::" + std::string(1000, 'x'));
        ASSERT_TRUE(runUntil([&] { return s.recorder->disconnects == 1; }));
        expectLimitEnd(s, "packet");
        EXPECT_TRUE(s.recorder->messages.empty());
    }
    {
        PollingPeer peer([](const RecordedRequest&) { return ScriptedAction::reply("1"); });
        Session s;
        s.socket->setLimits(limits);
        connect(s, peer);
        peer.release(framed(std::vector<std::string>(10, "3:::" + std::string(500, 'y'))));
        ASSERT_TRUE(runUntil([&] { return s.recorder->disconnects == 1; }));
        expectLimitEnd(s, "polling body");
        EXPECT_TRUE(s.recorder->messages.empty());
    }
    {
        // Packets queued while the handshake runs.
        ScriptedHttpServer server([](const RecordedRequest&) { return ScriptedAction::hang(); });
        Session s;
        SocketIOLimits few;
        few.maxQueuedPackets = 3;
        s.socket->setLimits(few);
        s.socket->connectToHost("127.0.0.1", server.port());
        for (int i = 0; i < 4; ++i) s.socket->sendMessage("m");
        expectLimitEnd(s, "queue");
        EXPECT_EQ(s.socket->queuedPacketCount(), 0u);
    }
    {
        PollingPeer peer([](const RecordedRequest&) { return ScriptedAction::reply("1"); });
        Session s;
        SocketIOLimits few;
        few.maxPendingAcknowledgements = 2;
        s.socket->setLimits(few);
        connect(s, peer);
        int called = 0;
        for (int i = 0; i < 3; ++i) s.socket->sendMessage("m", [&](const nlohmann::json&) { ++called; });
        expectLimitEnd(s, "acknowledgements");
        EXPECT_EQ(s.socket->pendingAcknowledgementCount(), 2u);
        EXPECT_EQ(called, 0);
    }
}

TEST(SocketIOHostile, PacketsPastTheLimitEndTheSessionOnEitherTransport) {
    // The socket refuses the message as it arrives, the poll its body.
    for (const char* transport : {"websocket", "xhr-polling"}) {
        emulator::RealtimeOptions options;
        options.port = 0;
        options.transports = {transport};
        emulator::RealtimeHost host(options);
        const unsigned short port = host.start();
        Session s;
        SocketIOLimits limits;
        limits.maxPacketBytes = 1000;
        limits.maxPollingBodyBytes = 1000;
        s.socket->setLimits(limits);
        s.socket->connectToHost("127.0.0.1", port);
        ASSERT_TRUE(runUntil([&] { return s.recorder->connects == 1; })) << transport;
        ASSERT_TRUE(host.sendPacket(s.socket->sid().value_or(""), "3:::" + std::string(5000, 'z')));
        ASSERT_TRUE(runUntil([&] { return s.recorder->disconnects == 1; })) << transport;
        expectLimitEnd(s, transport);
        EXPECT_TRUE(s.recorder->messages.empty());
        host.stop();
    }
}

}  // namespace vorn::hostile_session_test
