#pragma once

// One realtime session, from its handshake to its end: the transport it was
// opened on, the packets queued for the client, heartbeats, the namespaces
// joined, and what each packet from the client is answered with. Lives on
// the host's thread.

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "PacketText.h"

namespace vorn::emulator::realtime {

class RealtimeCore;
class RealtimeHttpConnection;
class RealtimeWebSocket;

class RealtimeSession : public std::enable_shared_from_this<RealtimeSession> {
public:
    enum class Transport { None, WebSocket, Polling };

    RealtimeSession(RealtimeCore& core, std::string sid);
    RealtimeSession(const RealtimeSession&) = delete;
    RealtimeSession& operator=(const RealtimeSession&) = delete;

    const std::string& sid() const { return sid_; }
    bool ended() const { return ended_; }
    Transport transport() const { return transport_; }

    // After the handshake: the session ends unless opened within the close timeout.
    void start();

    // The WebSocket transport: claimed when the upgrade begins (no other
    // transport from then on), opened when it completes.
    void claimWebSocket();
    void openWebSocket(const std::shared_ptr<RealtimeWebSocket>& socket);
    // The next packet for the WebSocket to write (nullopt when none, or while
    // silent); it counts in the backlog until written().
    std::optional<std::string> takeNext();
    void written(std::size_t bytes);

    // The polling transport: a GET to hold, its connection going away, a POST body.
    void poll(const std::shared_ptr<RealtimeHttpConnection>& connection);
    void pollGone(const RealtimeHttpConnection* connection);
    void post(std::string_view body);

    // One packet text from the client.
    void receive(std::string_view text);
    // Queues a packet for the client: dropped while silent; past the backlog
    // limit the session ends. True when it was queued.
    bool send(std::string packet);
    // Sends "5:ID+:ENDPOINT:EVENTDATA" with the session's next ack id and
    // keeps onAck until the client's "6::ENDPOINT:ID[+ARGS]" (nothing is kept
    // when the packet was not queued). The oldest is dropped past 1024.
    using AckCallback = std::function<void(const nlohmann::json& ackArgs)>;
    void emitAsking(const std::string& endpoint, const std::string& eventData, AckCallback onAck);
    // Hands the queued packets to the transport when it can take them.
    void flush();
    // Ends the session: a held GET gets the queued packets (or "0::"), a
    // WebSocket writes them and closes normally.
    void end(std::string_view reason);
    // Ends it at once, sending nothing more (the host stops).
    void abort();

private:
    using Handler = void (RealtimeSession::*)();

    void arm(boost::asio::steady_timer& timer, unsigned& generation, std::chrono::milliseconds after, Handler handler);
    static void disarm(boost::asio::steady_timer& timer, unsigned& generation);
    void disarmAll();

    void opened();
    void scheduleFlush();
    void answerHeld();
    void armCloseTimer();
    void onCloseTimeout();
    void onPollDue();
    void armHeartbeat();
    void onHeartbeatDue();
    void onHeartbeatTimeout();
    void dropQueue();

    bool joined(const std::string& endpoint) const;
    void handle(const Packet& packet);
    void handleConnect(const Packet& packet);
    void handleData(const Packet& packet);
    void handleEvent(const Packet& packet);
    // "6::ENDPOINT:ID" or "6::ENDPOINT:ID+ARGS".
    void ack(const Packet& packet, const std::optional<std::string>& args);
    // An ack from the client: the callback kept for its endpoint and id.
    void handleAck(const Packet& packet);
    void dropAcks(const std::string& endpoint);

    RealtimeCore& core_;
    const std::string sid_;
    Transport transport_ = Transport::None;
    bool open_ = false;
    bool ended_ = false;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t writingBytes_ = 0;  // taken by the WebSocket, not written yet
    bool flushPosted_ = false;
    std::weak_ptr<RealtimeWebSocket> webSocket_;
    std::shared_ptr<RealtimeHttpConnection> held_;  // the GET held open
    std::set<std::string> endpoints_;               // joined namespaces besides the default one
    bool heartbeatPending_ = false;                 // sent and not answered yet
    // Acks asked of the client, by id (so oldest first), with their endpoint.
    struct PendingAck {
        std::string endpoint;
        AckCallback callback;
    };
    std::map<std::uint64_t, PendingAck> pendingAcks_;
    std::uint64_t lastAckId_ = 0;

    boost::asio::steady_timer closeTimer_;
    boost::asio::steady_timer pollTimer_;
    boost::asio::steady_timer heartbeatTimer_;
    boost::asio::steady_timer heartbeatTimeoutTimer_;
    // A stale expiry (the timer was rearmed or disarmed meanwhile) is ignored.
    unsigned closeGeneration_ = 0;
    unsigned pollGeneration_ = 0;
    unsigned heartbeatGeneration_ = 0;
    unsigned heartbeatTimeoutGeneration_ = 0;
};

}  // namespace vorn::emulator::realtime
