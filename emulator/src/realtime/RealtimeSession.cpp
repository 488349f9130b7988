#include "RealtimeSession.h"

#include <boost/asio/post.hpp>

#include <vector>

#include <nlohmann/json.hpp>

#include "RealtimeCore.h"
#include "RealtimeHttpConnection.h"
#include "RealtimeWebSocket.h"

namespace vorn::emulator::realtime {

namespace net = boost::asio;
using error_code = boost::system::error_code;
using Json = nlohmann::json;

namespace {

constexpr std::size_t kMaxEndpoints = 64;
constexpr std::size_t kMaxJsonDepth = 100;
constexpr std::size_t kMaxPendingAcks = 1024;

// Parsed JSON, or discarded when it is malformed or nested too deep.
nlohmann::json parseJson(const std::string& text) {
    if (!jsonNestingWithin(text, kMaxJsonDepth)) return nlohmann::json(nlohmann::json::value_t::discarded);
    return nlohmann::json::parse(text, nullptr, false);
}
const std::string kConnectText = "1::";
const std::string kHeartbeatText = "2::";
const std::string kNoopText = "8::";
const std::string kDisconnectText = "0::";

}  // namespace

RealtimeSession::RealtimeSession(RealtimeCore& core, std::string sid)
    : core_(core),
      sid_(std::move(sid)),
      closeTimer_(core.ioc()),
      pollTimer_(core.ioc()),
      heartbeatTimer_(core.ioc()),
      heartbeatTimeoutTimer_(core.ioc()) {}

void RealtimeSession::arm(net::steady_timer& timer, unsigned& generation, std::chrono::milliseconds after,
                          Handler handler) {
    const unsigned armed = ++generation;
    timer.expires_after(after);
    timer.async_wait([self = shared_from_this(), &generation, armed, handler](error_code ec) {
        if (ec || self->ended_ || generation != armed) return;
        ((*self).*handler)();
    });
}

void RealtimeSession::disarm(net::steady_timer& timer, unsigned& generation) {
    ++generation;
    timer.cancel();
}

void RealtimeSession::disarmAll() {
    disarm(closeTimer_, closeGeneration_);
    disarm(pollTimer_, pollGeneration_);
    disarm(heartbeatTimer_, heartbeatGeneration_);
    disarm(heartbeatTimeoutTimer_, heartbeatTimeoutGeneration_);
}

void RealtimeSession::start() {
    armCloseTimer();
}

void RealtimeSession::armCloseTimer() {
    arm(closeTimer_, closeGeneration_, core_.options().closeTimeout, &RealtimeSession::onCloseTimeout);
}

void RealtimeSession::onCloseTimeout() {
    end(open_ ? "no poll within the close timeout" : "not opened within the close timeout");
}

void RealtimeSession::opened() {
    open_ = true;
    disarm(closeTimer_, closeGeneration_);
    if (!core_.silent) {
        // Ahead of anything emitted between the handshake and now.
        queue_.push_front(kConnectText);
        queuedBytes_ += kConnectText.size();
    }
    armHeartbeat();
    if (core_.verbose()) core_.log(sid_ + " opened");
    core_.connected(sid_, "");
    scheduleFlush();
}

void RealtimeSession::claimWebSocket() {
    transport_ = Transport::WebSocket;
}

void RealtimeSession::openWebSocket(const std::shared_ptr<RealtimeWebSocket>& socket) {
    webSocket_ = socket;
    opened();
}

std::optional<std::string> RealtimeSession::takeNext() {
    if (queue_.empty() || core_.silent) return std::nullopt;
    std::string next = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= next.size();
    writingBytes_ += next.size();
    return next;
}

void RealtimeSession::written(std::size_t bytes) {
    writingBytes_ -= std::min(bytes, writingBytes_);
}

void RealtimeSession::poll(const std::shared_ptr<RealtimeHttpConnection>& connection) {
    if (transport_ == Transport::None) {
        transport_ = Transport::Polling;
        opened();
    }
    disarm(closeTimer_, closeGeneration_);
    if (held_) {
        // Only one GET is held: the older one is let go.
        auto older = std::move(held_);
        held_.reset();
        if (core_.silent) {
            older->dropPoll();
        } else {
            older->answerPoll(kNoopText);
        }
    }
    held_ = connection;
    arm(pollTimer_, pollGeneration_, core_.options().pollingDuration, &RealtimeSession::onPollDue);
    answerHeld();
}

void RealtimeSession::pollGone(const RealtimeHttpConnection* connection) {
    if (held_.get() != connection) return;
    held_.reset();
    disarm(pollTimer_, pollGeneration_);
    if (!ended_) armCloseTimer();
}

void RealtimeSession::onPollDue() {
    if (!held_) return;
    if (core_.silent) {
        // Held on while silent; answered once the host speaks again.
        arm(pollTimer_, pollGeneration_, core_.options().pollingDuration, &RealtimeSession::onPollDue);
        return;
    }
    if (!queue_.empty()) return answerHeld();
    auto connection = std::move(held_);
    held_.reset();
    armCloseTimer();
    connection->answerPoll(kNoopText);
}

void RealtimeSession::answerHeld() {
    if (!held_ || queue_.empty() || core_.silent) return;
    const std::vector<std::string> packets(std::make_move_iterator(queue_.begin()),
                                           std::make_move_iterator(queue_.end()));
    queue_.clear();
    queuedBytes_ = 0;
    auto connection = std::move(held_);
    held_.reset();
    disarm(pollTimer_, pollGeneration_);
    if (!ended_) armCloseTimer();
    // Bytes handed to the response count against the backlog until written.
    std::string body = encodePayload(packets);
    const std::size_t bytes = body.size();
    writingBytes_ += bytes;
    connection->answerPoll(body, [weak = weak_from_this(), bytes] {
        if (auto self = weak.lock()) self->writingBytes_ -= std::min(bytes, self->writingBytes_);
    });
}

void RealtimeSession::post(std::string_view body) {
    if (transport_ == Transport::None) {
        transport_ = Transport::Polling;
        opened();
        armCloseTimer();  // opened by a POST: no GET held yet
    }
    for (const std::string& packet : decodePayload(body)) {
        if (ended_) break;
        receive(packet);
    }
}

bool RealtimeSession::send(std::string packet) {
    if (ended_) return false;
    if (core_.silent) {
        if (core_.verbose()) core_.log(sid_ + " silent, not sent: " + packet.substr(0, 200));
        return false;
    }
    if (queuedBytes_ + writingBytes_ + packet.size() > core_.options().maxQueuedBytes) {
        dropQueue();
        end("outgoing backlog over " + std::to_string(core_.options().maxQueuedBytes) + " bytes");
        return false;
    }
    if (core_.verbose()) core_.log(sid_ + " <- " + packet.substr(0, 200));
    queuedBytes_ += packet.size();
    queue_.push_back(std::move(packet));
    scheduleFlush();
    return true;
}

void RealtimeSession::emitAsking(const std::string& endpoint, const std::string& eventData, AckCallback onAck) {
    Packet packet;
    packet.type = PacketType::Event;
    packet.id = std::to_string(++lastAckId_);
    packet.ackWithData = true;
    packet.endpoint = endpoint;
    packet.data = eventData;
    if (!send(formatPacket(packet))) return;
    pendingAcks_.emplace(lastAckId_, PendingAck{endpoint, std::move(onAck)});
    if (pendingAcks_.size() > kMaxPendingAcks) {
        if (core_.verbose()) core_.log(sid_ + " dropped the oldest awaited ack");
        pendingAcks_.erase(pendingAcks_.begin());
    }
}

void RealtimeSession::dropAcks(const std::string& endpoint) {
    std::erase_if(pendingAcks_, [&](const auto& entry) { return entry.second.endpoint == endpoint; });
}

void RealtimeSession::dropQueue() {
    queue_.clear();
    queuedBytes_ = 0;
}

void RealtimeSession::scheduleFlush() {
    // Packets queued by one handler leave together.
    if (flushPosted_) return;
    flushPosted_ = true;
    net::post(core_.ioc(), [self = shared_from_this()] {
        self->flushPosted_ = false;
        self->flush();
    });
}

void RealtimeSession::flush() {
    if (core_.silent) return;
    if (auto socket = webSocket_.lock()) {
        socket->pump();
    } else {
        answerHeld();
    }
}

void RealtimeSession::end(std::string_view reason) {
    if (ended_) return;
    const auto self = shared_from_this();
    ended_ = true;
    if (core_.verbose()) core_.log(sid_ + " ended: " + std::string(reason));
    disarmAll();
    pendingAcks_.clear();
    if (held_) {
        auto connection = std::move(held_);
        held_.reset();
        if (core_.silent) {
            connection->dropPoll();
        } else {
            const std::vector<std::string> packets(queue_.begin(), queue_.end());
            dropQueue();
            connection->answerPoll(packets.empty() ? kDisconnectText : encodePayload(packets));
        }
    }
    if (auto socket = webSocket_.lock()) socket->finish();
    core_.sessionEnded(sid_);
}

void RealtimeSession::abort() {
    const auto self = shared_from_this();
    ended_ = true;
    disarmAll();
    dropQueue();
    pendingAcks_.clear();
    held_.reset();
    if (auto socket = webSocket_.lock()) socket->abort();
    core_.sessionEnded(sid_);
}

void RealtimeSession::armHeartbeat() {
    arm(heartbeatTimer_, heartbeatGeneration_, core_.options().heartbeatInterval, &RealtimeSession::onHeartbeatDue);
}

void RealtimeSession::onHeartbeatDue() {
    if (!core_.silent) {
        send(kHeartbeatText);
        if (ended_) return;
        if (!heartbeatPending_) {
            heartbeatPending_ = true;
            arm(heartbeatTimeoutTimer_, heartbeatTimeoutGeneration_, core_.options().heartbeatTimeout,
                &RealtimeSession::onHeartbeatTimeout);
        }
    }
    armHeartbeat();
}

void RealtimeSession::onHeartbeatTimeout() {
    end("heartbeat not answered within " + std::to_string(core_.options().heartbeatTimeout.count()) + " ms");
}

void RealtimeSession::receive(std::string_view text) {
    if (ended_) return;
    core_.record(sid_, text);
    if (core_.verbose()) core_.log(sid_ + " -> " + std::string(text.substr(0, 200)));
    const auto packet = parsePacket(text);
    if (!packet) {
        if (core_.verbose()) core_.log(sid_ + " ignored a malformed packet");
        return;
    }
    handle(*packet);
}

bool RealtimeSession::joined(const std::string& endpoint) const {
    return endpoint.empty() || endpoints_.count(endpoint) != 0;
}

void RealtimeSession::handle(const Packet& packet) {
    switch (packet.type) {
        case PacketType::Disconnect:
            if (packet.endpoint.empty()) {
                send(kDisconnectText);
                end("disconnected by the client");
            } else {
                const bool joinedBefore = endpoints_.erase(packet.endpoint) != 0;
                dropAcks(packet.endpoint);
                send(packetText(PacketType::Disconnect, packet.endpoint));
                if (joinedBefore && !ended_) core_.left(sid_, packet.endpoint);
            }
            return;
        case PacketType::Connect:
            return handleConnect(packet);
        case PacketType::Heartbeat:
            heartbeatPending_ = false;
            disarm(heartbeatTimeoutTimer_, heartbeatTimeoutGeneration_);
            return;
        case PacketType::Message:
        case PacketType::Json:
        case PacketType::Event:
            if (!joined(packet.endpoint)) {
                if (core_.verbose()) core_.log(sid_ + " ignored a packet for " + packet.endpoint + ", not joined");
                return;
            }
            if (packet.type == PacketType::Event) return handleEvent(packet);
            return handleData(packet);
        case PacketType::Ack:
            return handleAck(packet);
        case PacketType::Error:
        case PacketType::Noop:
            return;
    }
}

void RealtimeSession::handleConnect(const Packet& packet) {
    // "1::/ns?query" joins "/ns".
    const std::string endpoint = packet.endpoint.substr(0, packet.endpoint.find('?'));
    if (endpoint.empty()) return;  // the default namespace is joined from the start
    const bool known = endpoints_.count(endpoint) != 0;
    if (!known && endpoints_.size() >= kMaxEndpoints) {
        if (core_.verbose()) core_.log(sid_ + " refused " + endpoint + ": namespace limit reached");
        return;
    }
    endpoints_.insert(endpoint);
    send(packetText(PacketType::Connect, endpoint));
    if (!known && !ended_) core_.connected(sid_, endpoint);
}

void RealtimeSession::handleData(const Packet& packet) {
    std::string data = packet.data.value_or("");
    if (packet.type == PacketType::Json) {
        const Json value = parseJson(data);
        if (value.is_discarded()) {
            if (core_.verbose()) core_.log(sid_ + " ignored a json packet: not JSON, or nested too deep");
            return;
        }
        if (packet.ackWithData) return ack(packet, Json::array({value}).dump());
        data = value.dump();
    } else if (packet.ackWithData) {
        return ack(packet, Json::array({data}).dump());
    }
    if (!packet.id.empty()) return ack(packet, std::nullopt);
    send(packetText(packet.type, packet.endpoint, data));
}

void RealtimeSession::handleEvent(const Packet& packet) {
    const Json event = parseJson(packet.data.value_or(""));
    if (!event.is_object() || !event.contains("name") || !event.at("name").is_string() ||
        (event.contains("args") && !event.at("args").is_array())) {
        if (core_.verbose()) core_.log(sid_ + " ignored a malformed event");
        return;
    }
    const std::string name = event.at("name").get<std::string>();
    const Json args = event.contains("args") ? event.at("args") : Json::array();
    if (core_.event(sid_, packet.endpoint, name, args) || ended_) return;
    if (packet.ackWithData) return ack(packet, args.dump());
    if (!packet.id.empty()) ack(packet, std::nullopt);
    if (name == "echo") send(packetText(PacketType::Event, packet.endpoint, eventData("echo", args)));
}

void RealtimeSession::ack(const Packet& packet, const std::optional<std::string>& args) {
    std::string data = packet.id;
    if (args) data += "+" + *args;
    send(packetText(PacketType::Ack, packet.endpoint, data));
}

void RealtimeSession::handleAck(const Packet& packet) {
    const auto data = parseAckData(packet.data.value_or(""));
    if (!data) {
        if (core_.verbose()) core_.log(sid_ + " malformed ack");
        return;
    }
    // Like the event it answers, an ack is handled in the namespace its
    // endpoint names: one for another namespace finds nothing.
    if (!joined(packet.endpoint)) {
        if (core_.verbose()) core_.log(sid_ + " ignored an ack for " + packet.endpoint + ", not joined");
        return;
    }
    const auto id = ackNumber(data->id);
    const auto found = id ? pendingAcks_.find(*id) : pendingAcks_.end();
    if (found == pendingAcks_.end() || found->second.endpoint != packet.endpoint) {
        if (core_.verbose())
            core_.log(sid_ + " ack " + data->id + " for \"" + packet.endpoint + "\" awaited by nothing");
        return;
    }
    const AckCallback callback = std::move(found->second.callback);
    pendingAcks_.erase(found);
    Json args = Json::array();
    if (data->args && !data->args->empty()) {
        Json parsed = parseJson(*data->args);
        if (parsed.is_array()) {
            args = std::move(parsed);
        } else if (core_.verbose()) {
            core_.log(sid_ + " ack " + data->id + ": arguments not a JSON array, or nested too deep");
        }
    }
    core_.acknowledged(callback, args);
}

}  // namespace vorn::emulator::realtime
