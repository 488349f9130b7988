// Sessions against the emulator's realtime host, over the WebSocket and over
// polling: connecting, namespaces, heartbeats, events, acknowledgements and
// every way a session ends.
#include "RealtimeTestSupport.h"
#include "vorn/realtime/SocketIOTransportWebsocket.h"
#include "vorn/realtime/SocketIOTransportXHR.h"
#include "vorn_emulator/Realtime.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace vorn::emulator_session_test {

using test::runUntil;
using test::SocketIORecorder;

class RealtimeSession : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        emulator::RealtimeOptions options;
        options.port = 0;
        options.transports = {GetParam()};
        options.heartbeatInterval = std::chrono::milliseconds(100);
        options.pollingDuration = std::chrono::milliseconds(300);
        options.heartbeatTimeout = std::chrono::seconds(1);
        host = std::make_unique<emulator::RealtimeHost>(options);
        port = host->start();
    }
    void TearDown() override {
        socket->disconnect();
        test::drainLoop();
        host->stop();
    }
    bool polling() const { return std::string(GetParam()) == "xhr-polling"; }
    /// Connects and waits for the connect report.
    void connect(const std::string& endpoint = "") {
        socket->connectToHost("127.0.0.1", port, std::nullopt, endpoint);
        ASSERT_TRUE(runUntil([&] { return recorder->connects == 1; }));
    }
    std::vector<std::string> received() const { return host->receivedPackets(socket->sid().value_or("")); }
    bool hostReceived(const std::string& packet) const {
        auto packets = received();
        return std::find(packets.begin(), packets.end(), packet) != packets.end();
    }

    std::unique_ptr<emulator::RealtimeHost> host;
    unsigned short port = 0;
    std::shared_ptr<SocketIORecorder> recorder = std::make_shared<SocketIORecorder>();
    std::shared_ptr<SocketIO> socket = SocketIO::initWithDelegate(recorder);
};

TEST_P(RealtimeSession, ConnectsOverTheOfferedTransport) {
    connect();
    EXPECT_TRUE(socket->isConnected());
    EXPECT_FALSE(socket->isConnecting());
    EXPECT_DOUBLE_EQ(socket->heartbeatTimeout(), 8.0);
    if (polling()) {
        EXPECT_NE(std::dynamic_pointer_cast<SocketIOTransportXHR>(socket->transport()), nullptr);
    } else {
        EXPECT_NE(std::dynamic_pointer_cast<SocketIOTransportWebsocket>(socket->transport()), nullptr);
    }
    EXPECT_EQ(host->sessionIds(), std::vector<std::string>{*socket->sid()});
    // Heartbeats are answered, never sent unasked: the host keeps the session.
    ASSERT_TRUE(runUntil([&] { return hostReceived("2::"); }));
    EXPECT_TRUE(socket->isConnected());
}

TEST_P(RealtimeSession, NamespaceJoinAndQueuedPacketsInOrder) {
    socket->connectToHost("127.0.0.1", port, std::nullopt, "/n");
    socket->sendMessage("one");
    socket->sendEvent("echo", nlohmann::json("two"));
    ASSERT_TRUE(runUntil([&] { return recorder->connects == 1; }));
    EXPECT_EQ(socket->endpoint(), "/n");
    ASSERT_TRUE(runUntil([&] { return hostReceived("1::/n") && recorder->events.size() == 1; }));
    ASSERT_TRUE(runUntil([&] { return !recorder->messages.empty(); }));
    EXPECT_EQ(recorder->messages[0].data, "one");
    EXPECT_EQ(recorder->messages[0].endpoint, "/n");
    EXPECT_EQ(recorder->events[0].name, "echo");
    EXPECT_EQ(recorder->events[0].args, nlohmann::json::array({"two"}));
    if (!polling()) {
        // Over the WebSocket the queue goes out in order behind the join.
        auto packets = received();
        auto join = std::find(packets.begin(), packets.end(), "1::/n");
        auto first = std::find(packets.begin(), packets.end(), "3::/n:one");
        ASSERT_NE(first, packets.end());
        EXPECT_LT(join, first);
    }
}

TEST_P(RealtimeSession, EventsJsonAndAcknowledgementsBothWays) {
    connect();
    nlohmann::json acked;
    socket->sendEvent("anything", nlohmann::json{{"k", 1}}, [&](const nlohmann::json& data) { acked = data; });
    ASSERT_TRUE(runUntil([&] { return !acked.is_null(); }));
    EXPECT_EQ(acked, (nlohmann::json{{"k", 1}}));

    // A message's acknowledgement carries no data: the callback gets null.
    bool messageAcked = false;
    nlohmann::json messageData = "unset";
    socket->sendMessage("m", [&](const nlohmann::json& data) {
        messageAcked = true;
        messageData = data;
    });
    ASSERT_TRUE(runUntil([&] { return messageAcked; }));
    EXPECT_TRUE(messageData.is_null());

    socket->setReturnAllDataFromAck(true);
    nlohmann::json all;
    socket->sendEvent("e", nlohmann::json("x"), [&](const nlohmann::json& data) { all = data; });
    ASSERT_TRUE(runUntil([&] { return !all.is_null(); }));
    EXPECT_EQ(all, nlohmann::json::array({"x"}));

    socket->sendJSON(nlohmann::json{{"a", nlohmann::json::array({1, 2})}});
    ASSERT_TRUE(runUntil([&] { return recorder->jsons.size() == 1; }));
    EXPECT_EQ(recorder->jsons[0].dataAsJSON(), (nlohmann::json{{"a", {1, 2}}}));

    // The host's own event, and an acknowledgement sent back.
    ASSERT_TRUE(host->emit(*socket->sid(), "", "news", nlohmann::json::array({"x", 2})));
    ASSERT_TRUE(runUntil([&] { return recorder->events.size() == 1; }));
    EXPECT_EQ(recorder->events[0].name, "news");
    socket->sendAcknowledgement("9", nlohmann::json::array({"ok"}));
    ASSERT_TRUE(runUntil([&] { return hostReceived(R"(6:::9+["ok"])"); }));
    EXPECT_EQ(socket->pendingAcknowledgementCount(), 0u);
}

TEST_P(RealtimeSession, TheHostHearsAcknowledgementsInTheNamespaceOfItsEvent) {
    connect("/chat");
    std::mutex mutex;
    std::vector<nlohmann::json> heard;
    auto hear = [&](const nlohmann::json& args) {
        std::lock_guard lock(mutex);
        heard.push_back(args);
    };
    auto heardSoFar = [&] {
        std::lock_guard lock(mutex);
        return heard;
    };
    ASSERT_TRUE(host->emit(*socket->sid(), "/chat", "ask", nlohmann::json::array({"question"}), hear));
    ASSERT_TRUE(runUntil([&] { return recorder->events.size() == 1; }));
    const SocketIOPacket event = recorder->events[0];  // a copy: more events may arrive
    EXPECT_EQ(event.name, "ask");
    EXPECT_EQ(event.endpoint, "/chat");
    EXPECT_EQ(event.ack, "+");
    ASSERT_TRUE(event.pId && !event.pId->empty());

    // An ack in the default namespace does not answer an event sent in /chat
    // (over polling the two may arrive in either order).
    const std::string elsewhere = "6:::" + *event.pId + R"(+["not here"])";
    socket->transport()->send(elsewhere);
    socket->sendAcknowledgement(*event.pId, nlohmann::json::array({"ok", 2}));
    ASSERT_TRUE(runUntil([&] { return hostReceived(elsewhere) && !heardSoFar().empty(); }));
    EXPECT_TRUE(hostReceived("6::/chat:" + *event.pId + R"(+["ok",2])"));

    // Without arguments the callback gets an empty array; handled after the
    // stray ack, it also shows that one reached nothing.
    ASSERT_TRUE(host->emit(*socket->sid(), "/chat", "ask", nullptr, hear));
    ASSERT_TRUE(runUntil([&] { return recorder->events.size() == 2; }));
    EXPECT_NE(recorder->events[1].pId, event.pId);
    socket->sendAcknowledgement(*recorder->events[1].pId, nullptr);
    ASSERT_TRUE(runUntil([&] { return heardSoFar().size() >= 2; }));
    EXPECT_EQ(heardSoFar(), (std::vector<nlohmann::json>{nlohmann::json::array({"ok", 2}), nlohmann::json::array()}));
}

TEST_P(RealtimeSession, ServerDisconnectAndClientDisconnect) {
    connect();
    ASSERT_TRUE(host->disconnect(*socket->sid()));
    ASSERT_TRUE(runUntil([&] { return recorder->disconnects == 1; }));
    EXPECT_EQ(recorder->disconnectError->code, kSocketIOErrorServerDisconnected);
    EXPECT_FALSE(socket->sid());

    // The session starts again and ends at the client's word, without error.
    recorder->connects = 0;
    connect();
    const std::string sid = *socket->sid();
    socket->disconnect();
    EXPECT_EQ(recorder->disconnects, 2);
    EXPECT_FALSE(recorder->disconnectError);
    ASSERT_TRUE(runUntil([&] { return host->sessionIds().empty(); }));
    auto packets = host->receivedPackets(sid);
    EXPECT_NE(std::find(packets.begin(), packets.end(), "0::"), packets.end());
}

TEST_P(RealtimeSession, ForcedDisconnectEndsTheSessionOnTheHost) {
    connect();
    socket->disconnectForced();
    // Called outside the running loop, the local end is queued on it.
    ASSERT_TRUE(runUntil([&] { return recorder->disconnects == 1; }));
    EXPECT_FALSE(recorder->disconnectError);
    EXPECT_TRUE(host->sessionIds().empty()) << "the host ended the session before answering";
    EXPECT_FALSE(socket->isConnected());
}

TEST_P(RealtimeSession, AnyPacketPostponesTheTimeoutSilenceEndsIt) {
    connect();
    // With heartbeats every 100 ms the session outlives its 8 s timeout only
    // if they re-arm it; the silent host lets it run out.
    host->setSilent(true);
    ASSERT_TRUE(runUntil([&] { return recorder->disconnects == 1; }, std::chrono::seconds(20)));
    EXPECT_EQ(recorder->disconnectError->code, kSocketIOErrorHeartbeatTimeout);
}

INSTANTIATE_TEST_SUITE_P(Transports, RealtimeSession, ::testing::Values("websocket", "xhr-polling"));

TEST(RealtimeWebSocket, AClosedWebSocketEndsWithMinusFour) {
    emulator::RealtimeOptions options;
    options.port = 0;
    options.transports = {"websocket"};
    emulator::RealtimeHost host(options);
    const unsigned short port = host.start();
    auto recorder = std::make_shared<SocketIORecorder>();
    auto socket = SocketIO::initWithDelegate(recorder);
    socket->connectToHost("127.0.0.1", port);
    ASSERT_TRUE(runUntil([&] { return recorder->connects == 1; }));
    // Someone else ends the session: the host closes the WebSocket cleanly
    // (1000) without a "disconnect" packet.
    auto request = VornUrlRequest::initWithUrl("http://127.0.0.1:" + std::to_string(port) +
                                               "/socket.io/1/xhr-polling/" + *socket->sid() + "?disconnect");
    request->setHttpMethod("GET");
    request->startSyncConnection();
    ASSERT_TRUE(request->responseData());
    ASSERT_TRUE(runUntil([&] { return recorder->disconnects == 1; }));
    ASSERT_TRUE(recorder->disconnectError);
    EXPECT_EQ(recorder->disconnectError->domain, kSocketIOErrorDomain);
    EXPECT_EQ(recorder->disconnectError->code, kSocketIOErrorWebSocketClosed);
}

}  // namespace vorn::emulator_session_test
