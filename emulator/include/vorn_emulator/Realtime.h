#pragma once

// The emulator's realtime host: Socket.IO protocol revision 1 (the text
// protocol of Socket.IO 0.9) over WebSocket and XHR long polling, on a
// loopback port of its own. One io_context thread runs every session; the
// public functions below are safe to call from any thread.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vorn_emulator/Tls.h"

namespace vorn::emulator {

struct RealtimeOptions {
    std::string address = "127.0.0.1";  // must be a loopback address ("localhost" means 127.0.0.1)
    unsigned short port = 3010;         // 0 picks a free port
    // Offered in the handshake, and the only ones served: "websocket", "xhr-polling".
    std::vector<std::string> transports = {"websocket", "xhr-polling"};
    // An open session is sent "2::" this often.
    std::chrono::milliseconds heartbeatInterval = std::chrono::seconds(25);
    // Advertised in the handshake; a heartbeat not answered within it ends the session.
    std::chrono::milliseconds heartbeatTimeout = std::chrono::seconds(60);
    // Advertised in the handshake; a polling session with no GET held or
    // arriving for this long ends, and so does a session never opened.
    std::chrono::milliseconds closeTimeout = std::chrono::seconds(60);
    // A held GET with nothing to send is answered "8::" after this.
    std::chrono::milliseconds pollingDuration = std::chrono::seconds(20);
    // A poll's answer not taken by the client within this closes its
    // connection, and its bytes leave the session's backlog.
    std::chrono::milliseconds pollWriteTimeout = std::chrono::seconds(30);
    std::size_t maxPacketBytes = std::size_t{1024} * 1024;      // packet, WebSocket message, POST body
    std::size_t maxQueuedBytes = std::size_t{4} * 1024 * 1024;  // outgoing backlog per session, then it ends
    std::size_t maxSessions = 1024;                             // more handshakes are answered 503
    bool verbose = false;                                       // log requests and packets on stderr
    std::optional<TlsIdentity> tls;                             // serve TLS with it; nullopt: plain TCP
};

class RealtimeHost {
public:
    // Checks the options: throws std::invalid_argument for a non-loopback
    // address, an empty or unknown transport list, or a zero time or limit.
    explicit RealtimeHost(RealtimeOptions options);
    ~RealtimeHost();  // stops
    RealtimeHost(const RealtimeHost&) = delete;
    RealtimeHost& operator=(const RealtimeHost&) = delete;

    // Binds, then serves on a thread of its own. Returns the bound port.
    // Throws std::runtime_error when the port cannot be bound.
    unsigned short start();
    // Closes the listener, every connection and session (without calling
    // onSessionEnd), and joins the thread. Idempotent; no restart.
    void stop();

    unsigned short port() const;  // 0 before start
    const RealtimeOptions& options() const;

    // Hooks, set before start(); each is called on the host's thread and may
    // call the functions below. An exception from a hook is logged and dropped.
    //
    // A namespace was joined: endpoint "" for the default one when the
    // session opens, "/ns" on a "1::/ns" packet.
    std::function<void(const std::string& sid, const std::string& endpoint)> onConnect;
    // An event packet arrived: its name, its args (always an array, empty
    // when absent) and endpoint. Returning true skips the built-in handling
    // (acks and the "echo" event).
    std::function<bool(const std::string& sid, const std::string& endpoint, const std::string& name,
                       const nlohmann::json& args)>
        onEvent;
    // A session ended: disconnected by either side, timed out, or refused
    // (oversized message, backlog). Also for a handshake never opened.
    std::function<void(const std::string& sid)> onSessionEnd;
    // A session left a namespace it had joined ("0::/ns").
    std::function<void(const std::string& sid, const std::string& endpoint)> onLeave;

    // Sends "5::ENDPOINT:{"name":NAME,"args":ARGS}" (args left out when null,
    // a non-array wrapped in one). Never waits for the network; false when
    // the sid is not an open or handshaken session.
    bool emit(const std::string& sid, const std::string& endpoint, const std::string& name, const nlohmann::json& args);
    // The same event asking for an acknowledgement: "5:ID+:ENDPOINT:{...}"
    // with the session's next id (1, 2, ...). The client's ack in that
    // namespace, "6::ENDPOINT:ID" or "6::ENDPOINT:ID+ARGS" (or as the client
    // library writes it, "6:ENDPOINT::ID+ARGS"), calls onAck once on the
    // host's thread with ARGS, a JSON array (empty when there are none, or
    // when they are not an array of JSON nested at most 100 deep). An ack in
    // another namespace, the default one included, reaches nothing. Each
    // session keeps at most 1024 callbacks (the oldest is dropped); they are
    // dropped uncalled when the session ends or leaves the namespace, and
    // none is kept when the event was not sent (silent, backlog). A null
    // onAck is the plain emit.
    bool emit(const std::string& sid, const std::string& endpoint, const std::string& name, const nlohmann::json& args,
              std::function<void(const nlohmann::json& ackArgs)> onAck);
    // Sends one packet as given, unchecked.
    bool sendPacket(const std::string& sid, const std::string& packetText);
    // Sends "0::", then ends the session.
    bool disconnect(const std::string& sid);
    // While silent nothing is sent to any session: packets that would go out
    // (connects, heartbeats, acks, echoes, emits, noops) are dropped and held
    // GETs stay held. Received packets are still read and handled, and HTTP
    // requests (handshakes, POSTs) are still answered.
    void setSilent(bool silent);

    // The sessions handshaken and not ended yet, sorted.
    std::vector<std::string> sessionIds() const;
    // The last packets received from a session (at most 256, each cut to
    // 16 KiB), oldest first; kept for a while after the session ends. Empty
    // for an unknown sid.
    std::vector<std::string> receivedPackets(const std::string& sid) const;
    // Handshakes answered with a session so far.
    std::size_t handshakeCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::emulator
