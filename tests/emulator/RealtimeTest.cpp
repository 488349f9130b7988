// The realtime host over real loopback connections: handshakes, the
// WebSocket and polling transports, the built-in echo, heartbeats, limits and
// the hooks; its text forms on their own; the host through Server.

#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "EmulatorTestUtil.h"
#include "realtime/PacketText.h"
#include "vorn_emulator/Realtime.h"

namespace vorn::emulator::emutest::realtime_host_test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using std::chrono::milliseconds;

const std::string kMark = "\xEF\xBF\xBD";  // U+FFFD

struct Resp {
    unsigned status = 0;
    std::string body;
    std::string contentType;
};

// One keep-alive HTTP connection driven by the test's io_context.
class HttpClient : public std::enable_shared_from_this<HttpClient> {
public:
    HttpClient(net::io_context& io, unsigned short port) : socket_(io) {
        socket_.connect(tcp::endpoint(net::ip::address_v4::loopback(), port));
    }

    void send(http::verb method, const std::string& target, const std::string& body = "") {
        response.reset();
        request_ = {method, target, 11};
        request_.set(http::field::host, "127.0.0.1");
        request_.set(http::field::cookie, "io=ignored");
        request_.body() = body;
        request_.keep_alive(true);
        request_.prepare_payload();
        http::async_write(socket_, request_, [self = shared_from_this()](error_code ec, std::size_t) {
            if (ec) {
                self->closed = true;
                return;
            }
            self->response_ = {};
            http::async_read(self->socket_, self->buffer_, self->response_, [self](error_code readError, std::size_t) {
                if (readError) {
                    self->closed = true;
                    return;
                }
                self->response = Resp{self->response_.result_int(), self->response_.body(),
                                      std::string(self->response_[http::field::content_type])};
            });
        });
    }

    void close() {
        error_code ignored;
        socket_.close(ignored);
    }

    std::optional<Resp> response;
    bool closed = false;

private:
    tcp::socket socket_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> request_;
    http::response<http::string_body> response_;
};

// A WebSocket client that reads all the time: heartbeats are counted (and
// answered unless told not to), other messages collect in the inbox.
class WsClient : public std::enable_shared_from_this<WsClient> {
public:
    WsClient(net::io_context& io, bool answerHeartbeats) : ws_(io), answer_(answerHeartbeats) {}

    void open(unsigned short port, const std::string& target) {
        beast::get_lowest_layer(ws_).connect(tcp::endpoint(net::ip::address_v4::loopback(), port));
        ws_.async_handshake(response_, "127.0.0.1", target, [self = shared_from_this()](error_code ec) {
            if (ec) {
                self->refusedStatus = self->response_.result_int();
                self->closed = true;
                return;
            }
            self->opened = true;
            self->read();
        });
    }

    void write(std::string text) {
        outbox_.push_back(std::move(text));
        if (!writing_) writeNext();
    }

    void close() {
        error_code ignored;
        beast::get_lowest_layer(ws_).close(ignored);
    }

    bool opened = false;
    bool closed = false;
    unsigned refusedStatus = 0;
    std::uint16_t closeCode = 0;  // from the server's close frame
    std::deque<std::string> inbox;
    int heartbeats = 0;

private:
    void read() {
        ws_.async_read(buffer_, [self = shared_from_this()](error_code ec, std::size_t) {
            if (ec) {
                self->closed = true;
                self->closeCode = self->ws_.reason().code;
                return;
            }
            std::string text = beast::buffers_to_string(self->buffer_.data());
            self->buffer_.consume(self->buffer_.size());
            if (text == "2::") {
                ++self->heartbeats;
                if (self->answer_) self->write("2::");
            } else {
                self->inbox.push_back(std::move(text));
            }
            self->read();
        });
    }

    void writeNext() {
        if (outbox_.empty() || closed) {
            writing_ = false;
            return;
        }
        writing_ = true;
        ws_.text(true);
        ws_.async_write(net::buffer(outbox_.front()), [self = shared_from_this()](error_code ec, std::size_t) {
            self->outbox_.pop_front();
            if (ec) {
                self->writing_ = false;
                return;
            }
            self->writeNext();
        });
    }

    websocket::stream<tcp::socket> ws_;
    bool answer_;
    websocket::response_type response_;
    beast::flat_buffer buffer_;
    std::deque<std::string> outbox_;
    bool writing_ = false;
};

// Short times; the heartbeat and close timeouts are long unless a test is about them.
RealtimeOptions quickOptions() {
    RealtimeOptions options;
    options.port = 0;
    options.heartbeatInterval = 5s;
    options.heartbeatTimeout = 10s;
    options.closeTimeout = 5s;
    options.pollingDuration = 200ms;
    return options;
}

class RealtimeTest : public ::testing::Test {
protected:
    void start(const RealtimeOptions& options = quickOptions()) {
        host_ = std::make_unique<RealtimeHost>(options);
        host_->onConnect = [this](const std::string& sid, const std::string& endpoint) {
            note("connect " + sid + " " + endpoint);
            if (onConnect_) onConnect_(sid, endpoint);
        };
        host_->onEvent =
            [this](const std::string& sid, const std::string& endpoint, const std::string& name, const Json& args) {
            note("event " + sid + " " + endpoint + " " + name + " " + args.dump());
            return name == "mine";
        };
        host_->onSessionEnd = [this](const std::string& sid) { note("end " + sid); };
        host_->onLeave = [this](const std::string& sid, const std::string& endpoint) {
            note("leave " + sid + " " + endpoint);
        };
        port_ = host_->start();
    }

    void TearDown() override {
        if (host_) host_->stop();
        for (const auto& client : https_) client->close();
        for (const auto& client : sockets_) client->close();
        io_.restart();
        io_.poll();
    }

    // Runs the clients until done() holds or the limit passes.
    bool runUntil(const std::function<bool()>& done, milliseconds limit = kDeadline) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            io_.restart();
            if (io_.run_for(5ms) == 0) std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    std::shared_ptr<HttpClient> http() { return https_.emplace_back(std::make_shared<HttpClient>(io_, port_)); }

    Resp await(HttpClient& client) {
        EXPECT_TRUE(runUntil([&] { return client.response.has_value() || client.closed; })) << "no response";
        return client.response.value_or(Resp{});
    }

    Resp request(http::verb method, const std::string& target, const std::string& body = "") {
        auto client = http();
        client->send(method, target, body);
        return await(*client);
    }

    std::string handshake() {
        const Resp reply = request(http::verb::get, "/socket.io/1/?t=1");
        EXPECT_EQ(reply.status, 200u) << reply.body;
        return reply.body.substr(0, reply.body.find(':'));
    }

    static std::string polling(const std::string& sid) { return "/socket.io/1/xhr-polling/" + sid; }

    std::shared_ptr<WsClient> connectWs(const std::string& sid, bool answerHeartbeats = true) {
        auto client = sockets_.emplace_back(std::make_shared<WsClient>(io_, answerHeartbeats));
        client->open(port_, "/socket.io/1/websocket/" + sid);
        runUntil([&] { return client->opened || client->closed; });
        return client;
    }

    // A new session on a WebSocket, past its "1::".
    std::shared_ptr<WsClient> openWs(std::string* sidOut = nullptr, bool answerHeartbeats = true) {
        const std::string sid = handshake();
        if (sidOut) *sidOut = sid;
        auto client = connectWs(sid, answerHeartbeats);
        EXPECT_TRUE(client->opened);
        EXPECT_EQ(next(*client), "1::");
        return client;
    }

    // The next message other than a heartbeat; "" when the socket closed first.
    std::string next(WsClient& client) {
        runUntil([&] { return !client.inbox.empty() || client.closed; });
        if (client.inbox.empty()) return "";
        std::string text = std::move(client.inbox.front());
        client.inbox.pop_front();
        return text;
    }

    bool waitClosed(WsClient& client) {
        return runUntil([&] {
            client.inbox.clear();
            return client.closed;
        });
    }

    void note(const std::string& entry) {
        std::lock_guard lock(mutex_);
        hooks_.push_back(entry);
    }
    bool hooked(const std::string& entry) {
        return runUntil([&] {
            std::lock_guard lock(mutex_);
            return std::find(hooks_.begin(), hooks_.end(), entry) != hooks_.end();
        });
    }
    bool ended(const std::string& sid) {
        return runUntil([&] {
            const auto ids = host_->sessionIds();
            return std::find(ids.begin(), ids.end(), sid) == ids.end();
        });
    }

    net::io_context io_;
    std::unique_ptr<RealtimeHost> host_;
    unsigned short port_ = 0;
    std::function<void(const std::string&, const std::string&)> onConnect_;
    std::vector<std::shared_ptr<HttpClient>> https_;
    std::vector<std::shared_ptr<WsClient>> sockets_;
    std::mutex mutex_;
    std::vector<std::string> hooks_;
};

TEST(RealtimePacketTextTest, ParsesAndFormatsPackets) {
    using realtime::PacketType;
    const auto event = realtime::parsePacket("5:4+:/chat:{\"name\":\"x\",\"args\":[\"a:b\"]}");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, PacketType::Event);
    EXPECT_EQ(event->id, "4");
    EXPECT_TRUE(event->ackWithData);
    EXPECT_EQ(event->endpoint, "/chat");
    EXPECT_EQ(event->data, "{\"name\":\"x\",\"args\":[\"a:b\"]}");
    for (const char* text : {"2::", "0::/ns", "3:1::text", "3:::", "6:::12+[\"a\"]", "5:4+::{}"}) {
        const auto packet = realtime::parsePacket(text);
        ASSERT_TRUE(packet) << text;
        EXPECT_EQ(realtime::formatPacket(*packet), text);
    }
    EXPECT_FALSE(realtime::parsePacket("3::")->data.has_value());
    for (const char* text :
         {"", "2", "2:", "9::", "x::", "10::", "5:+::", "5:1a::", ":::", "3:123456789012345678901::"}) {
        EXPECT_FALSE(realtime::parsePacket(text)) << text;
    }
    EXPECT_EQ(realtime::parseAckData("12+[\"a\"]")->args, "[\"a\"]");
    EXPECT_FALSE(realtime::parseAckData("x+[]"));
    EXPECT_FALSE(realtime::parseAckData("123456789012345678901"));
    EXPECT_EQ(realtime::ackNumber("007"), 7u);
    EXPECT_EQ(realtime::ackNumber("18446744073709551615"), UINT64_MAX);
    EXPECT_FALSE(realtime::ackNumber("18446744073709551616"));
    EXPECT_FALSE(realtime::ackNumber(""));
    // An ack in a namespace names it in the endpoint field; the id field never holds one.
    for (const char* text : {"6::/chat:3+[1]"}) {
        const auto ack = realtime::parsePacket(text);
        ASSERT_TRUE(ack) << text;
        EXPECT_EQ(ack->type, PacketType::Ack);
        EXPECT_EQ(ack->endpoint, "/chat") << text;
        EXPECT_EQ(ack->data, "3+[1]") << text;
        EXPECT_TRUE(ack->id.empty());
    }
    EXPECT_EQ(realtime::parsePacket("6::/chat:3")->data, "3");
    EXPECT_FALSE(realtime::parsePacket("6:/chat::3"));  // a namespace where the id goes
    EXPECT_FALSE(realtime::parsePacket("6:/chat:3"));
    EXPECT_FALSE(realtime::parsePacket("5:/chat::{}"));
    EXPECT_TRUE(realtime::jsonNestingWithin(R"({"a":[[1]],"b":"[[[[["})", 3));
    EXPECT_FALSE(realtime::jsonNestingWithin(R"({"a":[[1]]})", 2));
    EXPECT_TRUE(realtime::jsonNestingWithin(R"(["\"[[[", []])", 2));
    EXPECT_EQ(realtime::eventData("n", nullptr), "{\"name\":\"n\"}");
    EXPECT_EQ(realtime::eventData("n", 5), "{\"name\":\"n\",\"args\":[5]}");
    EXPECT_EQ(realtime::secondsText(60000ms), "60");
    EXPECT_EQ(realtime::secondsText(500ms), "0.5");
    EXPECT_EQ(realtime::secondsText(1250ms), "1.25");
    EXPECT_EQ(realtime::secondsText(1001ms), "1.001");
}

TEST(RealtimePacketTextTest, FramesInUtf16Units) {
    const std::string wide = "3:::\xC3\xA9\xF0\x9F\x98\x80";  // "é" and an emoji: 1 + 2 units
    EXPECT_EQ(realtime::utf16Length(wide), 7u);
    EXPECT_EQ(realtime::utf16Length("\xFF\xC3"), 2u);  // invalid bytes count one each
    const std::string framed = realtime::encodePayload({wide, "2::"});
    EXPECT_EQ(framed, kMark + "7" + kMark + wide + kMark + "3" + kMark + "2::");
    EXPECT_EQ(realtime::decodePayload(framed), (std::vector<std::string>{wide, "2::"}));
    EXPECT_EQ(realtime::encodePayload({"2::"}), "2::");
    EXPECT_EQ(realtime::decodePayload("3:::a"), std::vector<std::string>{"3:::a"});
    EXPECT_TRUE(realtime::decodePayload("").empty());
    // Lengths in bytes, and lengths that do not add up, are read too.
    EXPECT_EQ(realtime::decodePayload(kMark + "10" + kMark + wide + kMark + "3" + kMark + "2::"),
              (std::vector<std::string>{wide, "2::"}));
    EXPECT_EQ(realtime::decodePayload(kMark + "99" + kMark + "3:::a" + kMark + "1" + kMark + "3:::b"),
              (std::vector<std::string>{"3:::a", "3:::b"}));
    EXPECT_EQ(realtime::decodePayload(kMark + kMark + kMark), std::vector<std::string>{});

    // U+FFFD inside a packet is one unit, like any 3-byte character; a 4-byte
    // one is two. Read back by those lengths, a marker inside a packet does
    // not split it.
    const std::string notice = R"(5:::{"name":"server_pub","args":["{\"a\":\"a)" + kMark + R"(b\u00e9\"}"]})";
    const std::string emoji = "3:::\xF0\x9F\x98\x80" + kMark + "\xF0\x9F\x98\x80";
    EXPECT_EQ(realtime::utf16Length(kMark), 1u);
    EXPECT_EQ(realtime::utf16Length(emoji), 9u);
    EXPECT_EQ(realtime::utf16Length(notice), notice.size() - 2);
    const std::string both = realtime::encodePayload({notice, emoji, "2::"});
    EXPECT_EQ(both, kMark + std::to_string(notice.size() - 2) + kMark + notice + kMark + "9" + kMark + emoji + kMark +
                        "3" + kMark + "2::");
    EXPECT_EQ(realtime::decodePayload(both), (std::vector<std::string>{notice, emoji, "2::"}));
}

TEST_F(RealtimeTest, StoppingWhileAHookEmitsEndsWithoutDeadlock) {
    // A hook on the host thread calls into the host while stop() waits for
    // that thread: stop must not hold what the hook needs.
    std::atomic<bool> inHook{false};
    std::atomic<bool> hookDone{false};
    onConnect_ = [&](const std::string& sid, const std::string&) {
        inHook = true;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        // Emits until the host refuses them, which it does once stopping.
        while (host_->emit(sid, "", "late", Json::array()) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        hookDone = true;
    };
    start();
    auto client = http();
    client->send(http::verb::get, polling(handshake()));
    ASSERT_TRUE(runUntil([&] { return inHook.load(); }));
    host_->stop();
    EXPECT_TRUE(hookDone);
}

TEST_F(RealtimeTest, HandshakeAnswersSidTimesAndTransports) {
    RealtimeOptions options = quickOptions();
    options.heartbeatTimeout = 500ms;
    options.closeTimeout = 60s;
    options.transports = {"websocket"};
    start(options);
    std::set<std::string> sids;
    for (const char* target : {"/socket.io/1/?t=123", "/socket.io/1", "/socket.io/1/?t=1&EIO=2&x"}) {
        const Resp reply = request(http::verb::get, target);
        EXPECT_EQ(reply.status, 200u) << target;
        EXPECT_EQ(reply.contentType, "text/plain; charset=UTF-8");
        EXPECT_TRUE(std::regex_match(reply.body, std::regex("[0-9a-f]{40}:0\\.5:60:websocket"))) << reply.body;
        sids.insert(reply.body.substr(0, reply.body.find(':')));
    }
    EXPECT_EQ(sids.size(), 3u);
    EXPECT_EQ(host_->handshakeCount(), 3u);
    EXPECT_EQ(host_->sessionIds(), std::vector<std::string>(sids.begin(), sids.end()));
    EXPECT_EQ(host_->options().transports, std::vector<std::string>{"websocket"});
}

TEST_F(RealtimeTest, RefusesOtherMethodsPathsAndUnknownSessions) {
    RealtimeOptions options = quickOptions();
    options.transports = {"websocket"};
    start(options);
    EXPECT_EQ(request(http::verb::post, "/socket.io/1/").status, 405u);
    EXPECT_EQ(request(http::verb::get, "/socket.io/2/").status, 404u);
    EXPECT_EQ(request(http::verb::get, "/").status, 404u);
    const std::string sid = handshake();
    EXPECT_EQ(request(http::verb::get, "/socket.io/1/flashsocket/" + sid).status, 404u);
    EXPECT_EQ(request(http::verb::get, polling(sid)).status, 404u);                     // not served here
    EXPECT_EQ(request(http::verb::get, "/socket.io/1/websocket/" + sid).status, 400u);  // not an upgrade
    EXPECT_EQ(request(http::verb::get, "/socket.io/1/websocket/nope?disconnect").status, 404u);
    EXPECT_EQ(connectWs("nope")->refusedStatus, 404u);
    EXPECT_EQ(host_->handshakeCount(), 1u);

    host_->stop();
    start();  // both transports
    const Resp unknown = request(http::verb::get, polling("nope") + "?t=5");
    EXPECT_EQ(unknown.status, 404u);
    EXPECT_EQ(unknown.contentType, "text/plain; charset=UTF-8");
    EXPECT_EQ(request(http::verb::post, polling("nope"), "2::").status, 404u);
    EXPECT_EQ(request(http::verb::get, polling("nope") + "?disconnect").status, 404u);
    EXPECT_FALSE(host_->emit("nope", "", "x", Json::array()));
    EXPECT_FALSE(host_->sendPacket("nope", "8::"));
    EXPECT_FALSE(host_->disconnect("nope"));
    EXPECT_TRUE(host_->receivedPackets("nope").empty());
}

TEST_F(RealtimeTest, LimitsSessionsAndDropsOnesNeverOpened) {
    RealtimeOptions options = quickOptions();
    options.maxSessions = 2;
    options.closeTimeout = 300ms;
    start(options);
    const std::string first = handshake();
    handshake();
    EXPECT_EQ(request(http::verb::get, "/socket.io/1/").status, 503u);
    EXPECT_TRUE(hooked("end " + first));  // never opened
    EXPECT_TRUE(ended(first));
    // A GET just after the end learns of it; anything else is refused.
    EXPECT_EQ(request(http::verb::get, polling(first)).body, "0::");
    EXPECT_EQ(request(http::verb::post, polling(first), "2::").status, 404u);
    EXPECT_TRUE(runUntil([&] { return host_->sessionIds().empty(); }));
    EXPECT_EQ(request(http::verb::get, "/socket.io/1/").status, 200u);
}

TEST_F(RealtimeTest, RefusesInvalidOptions) {
    auto with = [](const std::function<void(RealtimeOptions&)>& change) {
        RealtimeOptions options = quickOptions();
        change(options);
        return options;
    };
    for (const auto& change : std::vector<std::function<void(RealtimeOptions&)>>{
             [](RealtimeOptions& o) { o.address = "10.0.0.1"; }, [](RealtimeOptions& o) { o.address = "nowhere"; },
             [](RealtimeOptions& o) { o.transports = {}; }, [](RealtimeOptions& o) { o.transports = {"flashsocket"}; },
             [](RealtimeOptions& o) {
        o.transports = {"websocket", "websocket"};
             },
             [](RealtimeOptions& o) { o.heartbeatInterval = 0ms; }, [](RealtimeOptions& o) { o.closeTimeout = -1ms; },
             [](RealtimeOptions& o) { o.pollWriteTimeout = 0ms; }, [](RealtimeOptions& o) { o.maxSessions = 0; },
             [](RealtimeOptions& o) { o.maxPacketBytes = 0; }}) {
        EXPECT_THROW(RealtimeHost{with(change)}, std::invalid_argument);
    }
    RealtimeHost local(with([](RealtimeOptions& o) { o.address = "localhost"; }));
    EXPECT_NE(local.start(), 0);
    local.stop();
    local.stop();
}

TEST_F(RealtimeTest, WebSocketOpensJoinsAndLeavesNamespaces) {
    onConnect_ = [this](const std::string& sid, const std::string& endpoint) {
        if (endpoint.empty()) host_->emit(sid, "", "welcome", Json::array({sid.size()}));
    };
    start();
    std::string sid;
    auto client = openWs(&sid);
    EXPECT_EQ(next(*client), R"(5:::{"name":"welcome","args":[40]})");
    EXPECT_TRUE(hooked("connect " + sid + " "));
    client->write("1::/chat?room=1");
    EXPECT_EQ(next(*client), "1::/chat");
    EXPECT_TRUE(hooked("connect " + sid + " /chat"));
    client->write("3::/chat:hi");
    EXPECT_EQ(next(*client), "3::/chat:hi");
    client->write("0::/chat");
    EXPECT_EQ(next(*client), "0::/chat");
    EXPECT_TRUE(hooked("leave " + sid + " /chat"));
    client->write("3::/chat:not joined");  // ignored
    client->write("3::/other:never joined");
    client->write("0::/other");  // never joined: no leave
    EXPECT_EQ(next(*client), "0::/other");
    client->write("3:::after");
    EXPECT_EQ(next(*client), "3:::after");
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(std::count(hooks_.begin(), hooks_.end(), "leave " + sid + " /other"), 0);
    }
    EXPECT_EQ(client->refusedStatus, 0u);
    // One transport a session.
    EXPECT_EQ(connectWs(sid)->refusedStatus, 409u);
    EXPECT_EQ(request(http::verb::get, polling(sid)).status, 409u);
    EXPECT_EQ(request(http::verb::post, polling(sid), "3:::x").status, 409u);
}

TEST_F(RealtimeTest, EchoesAndAcksMessagesJsonAndEvents) {
    start();
    std::string sid;
    auto client = openWs(&sid);
    const std::vector<std::pair<std::string, std::string>> exchanges = {
        {"3:::hello", "3:::hello"},
        {"3:::a:b:c", "3:::a:b:c"},
        {"3:1::hi", "6:::1"},
        {"3:2+::hi", R"(6:::2+["hi"])"},
        {R"(4:::{"a": 1})", R"(4:::{"a":1})"},
        {"4:3+::[1, 2]", "6:::3+[[1,2]]"},
        {R"(5:::{"name":"echo","args":[1,"x"]})", R"(5:::{"name":"echo","args":[1,"x"]})"},
        {R"(5:::{"name":"echo"})", R"(5:::{"name":"echo","args":[]})"},
        {R"(5:4+::{"name":"other","args":[true]})", "6:::4+[true]"},
        {R"(5:5::{"name":"other"})", "6:::5"},
    };
    for (const auto& [sent, answer] : exchanges) {
        client->write(sent);
        EXPECT_EQ(next(*client), answer) << sent;
    }
    client->write(R"(5:::{"name":"other","args":[1]})");   // no answer
    client->write("6:::4+[1]");                            // awaited by nothing: no answer
    client->write(R"(5:6+::{"name":"mine","args":[2]})");  // handled by the hook: no ack
    // Nested too deep to be written back: ignored.
    client->write("4:::" + std::string(200000, '[') + std::string(200000, ']'));
    client->write(R"(5:::{"name":"echo","args":)" + std::string(200000, '[') + std::string(200000, ']') + "}");
    client->write("3:::done");
    EXPECT_EQ(next(*client), "3:::done");
    EXPECT_TRUE(hooked("event " + sid + "  other [1]"));
    EXPECT_TRUE(hooked("event " + sid + "  mine [2]"));
    EXPECT_TRUE(hooked("event " + sid + "  echo []"));
    EXPECT_EQ(host_->receivedPackets(sid).back(), "3:::done");
    EXPECT_EQ(host_->receivedPackets(sid).size(), exchanges.size() + 6);
}

TEST_F(RealtimeTest, MalformedAndOversizedMessagesEndNothingElse) {
    RealtimeOptions options = quickOptions();
    options.maxPacketBytes = 100;
    start(options);
    std::string sid;
    auto first = openWs(&sid);
    auto second = openWs();
    const std::vector<std::string> garbage = {
        "garbage", "",   "9::", "4:::{bad", R"(5:::{"args":[]})", "5:::[1]", "5:::", R"(5:::{"name":"echo","args":3})",
        "6:::x+",  "1::"};
    for (const std::string& text : garbage) first->write(text);
    first->write("3:::still here");
    EXPECT_EQ(next(*first), "3:::still here");
    auto received = host_->receivedPackets(sid);
    received.pop_back();
    EXPECT_EQ(received, garbage);

    first->write(std::string(101, 'x'));
    EXPECT_TRUE(waitClosed(*first));
    EXPECT_EQ(first->closeCode, 1009);
    EXPECT_TRUE(hooked("end " + sid));
    EXPECT_TRUE(ended(sid));
    second->write("3:::" + std::string(90, 'y'));
    EXPECT_EQ(next(*second), "3:::" + std::string(90, 'y'));
}

// The acks the host asks for: each callback hears the one ack with its own
// endpoint and id, once, on the host's thread.
class RealtimeAckTest : public RealtimeTest {
protected:
    // emit(..., onAck) whose callback notes "ack TAG ARGS" and its thread.
    bool ask(const std::string& sid, const std::string& endpoint, const std::string& tag,
             std::shared_ptr<int> token = nullptr) {
        return host_->emit(sid, endpoint, "ask", Json::array({tag}), [this, tag, token](const Json& args) {
            {
                std::lock_guard lock(mutex_);
                ackThreads_.insert(std::this_thread::get_id());
            }
            note("ack " + tag + " " + args.dump());
        });
    }
    std::vector<std::string> acks() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> found;
        std::copy_if(hooks_.begin(), hooks_.end(), std::back_inserter(found),
                     [](const std::string& e) { return e.rfind("ack ", 0) == 0; });
        return found;
    }
    void startNotingThreads() {
        onConnect_ = [this](const std::string&, const std::string&) {
            std::lock_guard lock(mutex_);
            hostThread_ = std::this_thread::get_id();
        };
        start();
    }
    std::set<std::thread::id> ackThreads_;
    std::thread::id hostThread_;
};

TEST_F(RealtimeAckTest, WebSocketAcksAreMatchedByEndpointAndId) {
    startNotingThreads();
    std::string sid;
    auto client = openWs(&sid);
    client->write("1::/chat");
    EXPECT_EQ(next(*client), "1::/chat");
    ASSERT_TRUE(ask(sid, "/chat", "one"));
    EXPECT_EQ(next(*client), R"(5:1+:/chat:{"name":"ask","args":["one"]})");
    ASSERT_TRUE(ask(sid, "", "two"));
    EXPECT_EQ(next(*client), R"(5:2+::{"name":"ask","args":["two"]})");

    client->write(R"(6:::1+["default namespace"])");  // event 1 went in /chat
    client->write(R"(6::/chat:2+["wrong namespace"])");
    client->write(R"(6::/other:1+["not joined"])");
    client->write(R"(6::/chat:3+["never asked"])");
    client->write(R"(6::/chat:x+["malformed"])");
    client->write(R"(6:/chat::1+["misplaced"])");  // a namespace where the id goes
    client->write(R"(6::/chat:1+["ok",{"n":1}])");
    client->write(R"(6::/chat:1+["again"])");  // answered already
    client->write("6:::2");                    // no arguments
    client->write("3:::done");
    EXPECT_EQ(next(*client), "3:::done");
    EXPECT_EQ(acks(), (std::vector<std::string>{R"(ack one ["ok",{"n":1}])", "ack two []"}));
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(ackThreads_, std::set<std::thread::id>{hostThread_});
    }

    // Arguments that are not a JSON array, or nested too deep, come as [].
    for (const char* tag : {"three", "four", "five"}) {
        ASSERT_TRUE(ask(sid, "/chat", tag));
        next(*client);
    }
    client->write("6::/chat:3+{\"a\":1}");
    client->write("6::/chat:4+[oops");
    client->write("6::/chat:5+" + std::string(200000, '[') + std::string(200000, ']'));
    client->write("3:::done");
    EXPECT_EQ(next(*client), "3:::done");
    const auto all = acks();
    EXPECT_EQ(std::vector<std::string>(all.begin() + 2, all.end()),
              (std::vector<std::string>{"ack three []", "ack four []", "ack five []"}));
}

TEST_F(RealtimeAckTest, PollingAcksAreMatchedByEndpointAndId) {
    start();
    const std::string sid = handshake();
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "1::");
    EXPECT_EQ(request(http::verb::post, polling(sid), "1::/chat").body, "1");
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "1::/chat");
    ASSERT_TRUE(ask(sid, "/chat", "one"));
    ASSERT_TRUE(ask(sid, "/chat", "two"));
    EXPECT_EQ(realtime::decodePayload(request(http::verb::get, polling(sid)).body),
              (std::vector<std::string>{R"(5:1+:/chat:{"name":"ask","args":["one"]})",
                                        R"(5:2+:/chat:{"name":"ask","args":["two"]})"}));
    // Several acks in one body, each handled in its own namespace.
    EXPECT_EQ(request(http::verb::post, polling(sid),
                      realtime::encodePayload(
                          {R"(6:::1+["default namespace"])", R"(6::/chat:2+["b"])", R"(6::/chat:1+["a"])"}))
                  .body,
              "1");
    EXPECT_EQ(request(http::verb::post, polling(sid), "6::/chat:2+[\"again\"]").body, "1");
    EXPECT_EQ(request(http::verb::post, polling(sid), "3:::done").body, "1");
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "3:::done");
    EXPECT_EQ(acks(), (std::vector<std::string>{R"(ack two ["b"])", R"(ack one ["a"])"}));
}

TEST_F(RealtimeAckTest, CallbacksAreBoundedAndDroppedWithTheirNamespaceOrSession) {
    start();
    std::string sid;
    auto client = openWs(&sid);
    client->write("1::/chat");
    EXPECT_EQ(next(*client), "1::/chat");

    // Past 1024 awaited, the oldest goes.
    auto first = std::make_shared<int>(0);
    ASSERT_TRUE(ask(sid, "", "first", first));
    std::weak_ptr<int> firstGone = first;
    first.reset();
    for (int i = 2; i <= 1025; ++i) ASSERT_TRUE(ask(sid, "", "n" + std::to_string(i)));
    ASSERT_TRUE(runUntil([&] {
        while (!client->inbox.empty() && client->inbox.front().rfind("5:1025+:", 0) != 0) client->inbox.pop_front();
        return !client->inbox.empty();
    }));
    client->inbox.clear();
    EXPECT_TRUE(firstGone.expired());
    client->write("6:::1+[1]");
    client->write("6:::2+[2]");
    client->write("3:::done");
    EXPECT_EQ(next(*client), "3:::done");
    EXPECT_EQ(acks(), std::vector<std::string>{"ack n2 [2]"});

    // Leaving the namespace drops its callbacks, not the others'.
    auto inChat = std::make_shared<int>(0);
    ASSERT_TRUE(ask(sid, "/chat", "chat", inChat));
    EXPECT_EQ(next(*client), R"(5:1026+:/chat:{"name":"ask","args":["chat"]})");
    std::weak_ptr<int> chatGone = inChat;
    inChat.reset();
    client->write("0::/chat");
    EXPECT_EQ(next(*client), "0::/chat");
    EXPECT_TRUE(runUntil([&] { return chatGone.expired(); }));
    client->write("1::/chat");
    EXPECT_EQ(next(*client), "1::/chat");
    client->write("6::/chat:1026+[1]");
    client->write("6:::3+[3]");
    client->write("3:::done");
    EXPECT_EQ(next(*client), "3:::done");
    EXPECT_EQ(acks(), (std::vector<std::string>{"ack n2 [2]", "ack n3 [3]"}));

    // A silent host sends nothing and keeps nothing.
    host_->setSilent(true);
    auto unsent = std::make_shared<int>(0);
    ASSERT_TRUE(ask(sid, "", "unsent", unsent));
    std::weak_ptr<int> unsentGone = unsent;
    unsent.reset();
    EXPECT_TRUE(runUntil([&] { return unsentGone.expired(); }));
    host_->setSilent(false);

    // The session's end drops every one left, uncalled.
    auto last = std::make_shared<int>(0);
    ASSERT_TRUE(ask(sid, "", "last", last));
    std::weak_ptr<int> lastGone = last;
    last.reset();
    EXPECT_EQ(next(*client), R"(5:1028+::{"name":"ask","args":["last"]})");
    EXPECT_FALSE(lastGone.expired());
    client->write("0::");
    EXPECT_TRUE(waitClosed(*client));
    EXPECT_TRUE(runUntil([&] { return lastGone.expired(); }));
    EXPECT_TRUE(ended(sid));
    EXPECT_EQ(acks().size(), 2u);
    EXPECT_FALSE(ask(sid, "", "ended"));
}

TEST_F(RealtimeTest, EmitAndSendPacketReachBothTransports) {
    start();
    std::string wsSid;
    auto client = openWs(&wsSid);
    EXPECT_TRUE(host_->emit(wsSid, "", "news", Json::array({1, "two"})));
    EXPECT_EQ(next(*client), R"(5:::{"name":"news","args":[1,"two"]})");
    EXPECT_TRUE(host_->emit(wsSid, "/chat", "bare", nullptr));
    EXPECT_EQ(next(*client), R"(5::/chat:{"name":"bare"})");
    EXPECT_TRUE(host_->sendPacket(wsSid, "3:::raw"));
    EXPECT_EQ(next(*client), "3:::raw");

    const std::string sid = handshake();
    EXPECT_EQ(request(http::verb::get, polling(sid) + "?t=1").body, "1::");
    auto held = http();
    held->send(http::verb::get, polling(sid) + "?t=2");
    EXPECT_TRUE(host_->emit(sid, "", "late", Json::array()));
    EXPECT_EQ(await(*held).body, R"(5:::{"name":"late","args":[]})");
    // Queued while no GET is held: they come together, framed.
    const std::string wide = "3:::\xC3\xA9\xF0\x9F\x98\x80";
    EXPECT_TRUE(host_->sendPacket(sid, "3:::one"));
    EXPECT_TRUE(host_->sendPacket(sid, wide));
    EXPECT_TRUE(host_->emit(sid, "/a", "n", Json::array({"\xC3\xA9"})));
    const std::string event = R"(5::/a:{"name":"n","args":["é"]})";
    held->send(http::verb::get, polling(sid));
    EXPECT_EQ(await(*held).body, kMark + "7" + kMark + "3:::one" + kMark + "7" + kMark + wide + kMark +
                                     std::to_string(event.size() - 1) + kMark + event);
}

TEST_F(RealtimeTest, PollingHoldsGetsAndAnswersNoops) {
    RealtimeOptions options = quickOptions();
    options.pollingDuration = 300ms;
    start(options);
    const std::string sid = handshake();
    const Resp opened = request(http::verb::get, polling(sid));
    EXPECT_EQ(opened.body, "1::");
    EXPECT_EQ(opened.contentType, "text/plain; charset=UTF-8");
    EXPECT_TRUE(hooked("connect " + sid + " "));
    auto client = http();
    client->send(http::verb::get, polling(sid));
    EXPECT_EQ(await(*client).body, "8::");  // nothing to send within the polling duration

    host_->stop();
    options.pollingDuration = 60s;
    start(options);
    const std::string other = handshake();
    EXPECT_EQ(request(http::verb::get, polling(other)).body, "1::");
    auto a = http();
    auto b = http();
    a->send(http::verb::get, polling(other));
    b->send(http::verb::get, polling(other));
    // The older GET is let go with a noop at once, the newer one is held.
    ASSERT_TRUE(runUntil([&] { return a->response || b->response; }));
    auto& released = a->response ? *a : *b;
    auto& kept = a->response ? *b : *a;
    EXPECT_EQ(released.response->body, "8::");
    EXPECT_TRUE(host_->sendPacket(other, "3:::for the held one"));
    EXPECT_EQ(await(kept).body, "3:::for the held one");
}

TEST_F(RealtimeTest, PostedPacketsAreAllDispatched) {
    start();
    const std::string sid = handshake();
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "1::");
    const std::vector<std::string> packets = {"2::", "3:::h\xC3\xA9llo", R"(5:::{"name":"echo","args":["a:b"]})"};
    const Resp posted = request(http::verb::post, polling(sid), realtime::encodePayload(packets));
    EXPECT_EQ(posted.status, 200u);
    EXPECT_EQ(posted.body, "1");
    EXPECT_EQ(request(http::verb::post, polling(sid) + "?t=9", "4:::[1]").body, "1");
    EXPECT_EQ(
        request(http::verb::post, polling(sid), kMark + "99" + kMark + "3:::a" + kMark + "1" + kMark + "3:::b").body,
        "1");
    EXPECT_EQ(host_->receivedPackets(sid),
              (std::vector<std::string>{packets[0], packets[1], packets[2], "4:::[1]", "3:::a", "3:::b"}));
    const Resp echoes = request(http::verb::get, polling(sid));
    EXPECT_EQ(realtime::decodePayload(echoes.body),
              (std::vector<std::string>{packets[1], packets[2], "4:::[1]", "3:::a", "3:::b"}));
}

TEST_F(RealtimeTest, OversizedBodiesAndBacklogsAreRefused) {
    RealtimeOptions options = quickOptions();
    options.maxPacketBytes = 1000;
    options.maxQueuedBytes = 1000;
    start(options);
    const std::string sid = handshake();
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "1::");
    EXPECT_EQ(request(http::verb::post, polling(sid), "3:::" + std::string(2000, 'x')).status, 413u);
    EXPECT_EQ(request(http::verb::post, polling(sid), "3:::fits").body, "1");
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "3:::fits");
    // Nobody polls: past 1000 bytes queued the session ends.
    EXPECT_TRUE(host_->sendPacket(sid, "3:::" + std::string(600, 'a')));
    EXPECT_TRUE(host_->sendPacket(sid, "3:::" + std::string(600, 'b')));
    EXPECT_TRUE(hooked("end " + sid));
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "0::");
    EXPECT_EQ(request(http::verb::post, polling(sid), "3:::x").status, 404u);
}

// A poll that its client stops reading: a socket with a small receive
// buffer (so the kernel takes only a few MiB of an answer) whose GET is
// answered with a large backlog, of which the test reads only the start.
class StalledPoll {
public:
    StalledPoll(unsigned short port, const std::string& target) : socket_(io_) {
        socket_.open(tcp::v4());
        socket_.set_option(net::socket_base::receive_buffer_size(4096));
        // A read that waits 10 s for a byte fails, so a stalled host fails
        // the test instead of hanging it.
        const timeval limit{10, 0};
        ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        socket_.connect(tcp::endpoint(net::ip::address_v4::loopback(), port));
        const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        net::write(socket_, net::buffer(request));
    }

    // Blocks until the answer's first bytes arrive, then stops reading.
    std::string readStart() {
        std::string start(256, '\0');
        start.resize(socket_.read_some(net::buffer(start)));
        received_ = start.size();
        return start;
    }

    // Waits, without reading, until the server resets the connection.
    bool resetWithin(std::chrono::milliseconds limit) {
        pollfd watched{socket_.native_handle(), POLLRDHUP, 0};
        return ::poll(&watched, 1, static_cast<int>(limit.count())) == 1 &&
               (watched.revents & (POLLERR | POLLHUP)) != 0;
    }

    // Reads what is left until the connection ends; the bytes read in all.
    std::size_t readToEnd() {
        std::vector<char> chunk(std::size_t{1} << 20);
        error_code ec;
        while (!ec) received_ += socket_.read_some(net::buffer(chunk), ec);
        return received_;
    }

private:
    net::io_context io_;
    tcp::socket socket_;
    std::size_t received_ = 0;
};

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST_F(RealtimeTest, BytesOfAPollAnswerCountInTheBacklogUntilWritten) {
    RealtimeOptions options = quickOptions();
    options.maxPacketBytes = 64 * kMiB;
    options.maxQueuedBytes = 32 * kMiB;
    options.closeTimeout = 60s;  // only the backlog can end the session here
    start(options);
    const std::string sid = handshake();
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "1::");
    // 20 MiB queued, then handed to a GET whose client does not read it.
    EXPECT_TRUE(host_->sendPacket(sid, "3:::" + std::string(20 * kMiB, 'a')));
    StalledPoll stalled(port_, polling(sid));
    EXPECT_EQ(stalled.readStart().rfind("HTTP/1.1 200", 0), 0u);
    // The queue is empty again, but 20 MiB are still being written: 15 more
    // pass the 32 MiB backlog.
    EXPECT_TRUE(host_->sendPacket(sid, "3:::" + std::string(15 * kMiB, 'b')));
    EXPECT_TRUE(hooked("end " + sid));
}

TEST_F(RealtimeTest, APollAnswerNotTakenInTimeClosesItsConnectionAndLeavesTheBacklog) {
    RealtimeOptions options = quickOptions();
    options.maxPacketBytes = 64 * kMiB;
    options.maxQueuedBytes = 32 * kMiB;
    // The next poll's 6 MiB must be taken within it too, which under the
    // sanitizers, beside other tests, can take longer than half a second.
    options.pollWriteTimeout = vorn::test::kUnderSanitizer ? 3s : 500ms;
    options.closeTimeout = 60s;
    // No heartbeat may join the backlog the next poll is measured by: under
    // the sanitizers the test outlasts the quick 5 s interval.
    options.heartbeatInterval = 60s;
    options.heartbeatTimeout = 120s;
    start(options);
    const std::string sid = handshake();
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "1::");
    const std::size_t packetBytes = 28 * kMiB;
    EXPECT_TRUE(host_->sendPacket(sid, "3:::" + std::string(packetBytes - 4, 'a')));
    StalledPoll stalled(port_, polling(sid));
    EXPECT_EQ(stalled.readStart().rfind("HTTP/1.1 200", 0), 0u);
    // Past the write limit the host resets the connection: the answer is cut
    // well short of its end.
    EXPECT_TRUE(stalled.resetWithin(kDeadline));
    EXPECT_LT(stalled.readToEnd(), packetBytes / 2);
    // Those bytes no longer count: 6 MiB fit in the 32 MiB backlog, and
    // the session goes on to answer its next poll with them.
    EXPECT_TRUE(host_->sendPacket(sid, "3:::" + std::string(6 * kMiB, 'b')));
    const Resp next = request(http::verb::get, polling(sid));
    EXPECT_EQ(next.body.size(), 6 * kMiB + 4);
    const auto ids = host_->sessionIds();
    EXPECT_NE(std::find(ids.begin(), ids.end(), sid), ids.end());
}

TEST_F(RealtimeTest, SessionsEndOnDisconnectFromEitherSide) {
    start();
    std::string sid;
    auto byClient = openWs(&sid);
    byClient->write("0::");
    EXPECT_EQ(next(*byClient), "0::");
    EXPECT_TRUE(waitClosed(*byClient));
    EXPECT_EQ(byClient->closeCode, 1000);
    EXPECT_TRUE(hooked("end " + sid));

    auto byHost = openWs(&sid);
    EXPECT_TRUE(host_->disconnect(sid));
    EXPECT_EQ(next(*byHost), "0::");
    EXPECT_TRUE(waitClosed(*byHost));
    EXPECT_EQ(byHost->closeCode, 1000);
    EXPECT_TRUE(ended(sid));

    auto byQuery = openWs(&sid);  // ?disconnect on the polling path ends a WebSocket session too
    const Resp answer = request(http::verb::get, polling(sid) + "?t=3&disconnect");
    EXPECT_EQ(answer.status, 200u);
    EXPECT_EQ(answer.body, "");
    EXPECT_TRUE(waitClosed(*byQuery));
    EXPECT_EQ(connectWs(sid)->refusedStatus, 404u);

    const std::string polled = handshake();
    EXPECT_EQ(request(http::verb::get, polling(polled)).body, "1::");
    auto held = http();
    held->send(http::verb::get, polling(polled));
    EXPECT_EQ(request(http::verb::post, polling(polled), "0::").body, "1");
    EXPECT_EQ(await(*held).body, "0::");
    EXPECT_TRUE(hooked("end " + polled));
    EXPECT_EQ(request(http::verb::get, "/socket.io/1/websocket/" + polled + "?disconnect").status, 404u);
}

TEST_F(RealtimeTest, HeartbeatsEndUnansweredSessionsOnly) {
    RealtimeOptions options = quickOptions();
    options.heartbeatInterval = 100ms;
    options.heartbeatTimeout = 300ms;
    start(options);
    std::string answeringSid;
    std::string silentSid;
    auto answering = openWs(&answeringSid);
    auto silent = openWs(&silentSid, /*answerHeartbeats=*/false);
    EXPECT_TRUE(waitClosed(*silent));
    EXPECT_GE(silent->heartbeats, 1);
    EXPECT_EQ(silent->closeCode, 1000);
    EXPECT_TRUE(hooked("end " + silentSid));
    // The answering one lives on, well past the timeout.
    const int seen = answering->heartbeats;
    EXPECT_TRUE(runUntil([&] { return answering->heartbeats >= seen + 5; }));
    EXPECT_FALSE(answering->closed);
    EXPECT_EQ(host_->sessionIds(), std::vector<std::string>{answeringSid});

    // Polling sessions get them on the held GET, and a polling session
    // that stops polling is dropped after the close timeout.
    host_->stop();
    options.heartbeatTimeout = 10s;
    options.closeTimeout = 300ms;
    options.pollingDuration = 5s;
    start(options);
    const std::string sid = handshake();
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "1::");
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "2::");
    EXPECT_TRUE(hooked("end " + sid));
    EXPECT_EQ(request(http::verb::get, polling(sid)).body, "0::");
}

TEST_F(RealtimeTest, SilentHostSendsNothing) {
    RealtimeOptions options = quickOptions();
    options.pollingDuration = 100ms;
    start(options);
    std::string sid;
    auto client = openWs(&sid);
    const std::string polled = handshake();
    EXPECT_EQ(request(http::verb::get, polling(polled)).body, "1::");

    host_->setSilent(true);
    client->write("3:::quiet");
    EXPECT_TRUE(host_->sendPacket(sid, "3:::dropped"));
    auto held = http();
    held->send(http::verb::get, polling(polled));
    const std::string opened = handshake();
    auto late = connectWs(opened);
    EXPECT_TRUE(late->opened);
    EXPECT_TRUE(runUntil([&] { return host_->receivedPackets(sid) == std::vector<std::string>{"3:::quiet"}; }));
    // Held well past the polling duration, unanswered.
    EXPECT_FALSE(runUntil([&] { return held->response.has_value(); }, 500ms));
    EXPECT_TRUE(client->inbox.empty());
    EXPECT_TRUE(late->inbox.empty());  // not even "1::"

    host_->setSilent(false);
    EXPECT_TRUE(host_->sendPacket(sid, "3:::after"));
    EXPECT_EQ(next(*client), "3:::after");  // the echo and the packet sent while silent never came
    EXPECT_EQ(await(*held).body, "8::");
    late->write("3:::late");
    EXPECT_EQ(next(*late), "3:::late");
}

TEST_F(RealtimeTest, StopClosesEverySession) {
    start();
    std::string sid;
    auto client = openWs(&sid);
    const std::string polled = handshake();
    EXPECT_EQ(request(http::verb::get, polling(polled)).body, "1::");
    auto held = http();
    held->send(http::verb::get, polling(polled));
    host_->stop();
    EXPECT_TRUE(waitClosed(*client));
    EXPECT_TRUE(runUntil([&] { return held->closed; }));
    EXPECT_TRUE(host_->sessionIds().empty());
    EXPECT_FALSE(host_->sendPacket(sid, "3:::x"));
    host_->stop();
    std::lock_guard lock(mutex_);
    EXPECT_EQ(std::count_if(hooks_.begin(), hooks_.end(), [](const std::string& e) { return e.rfind("end", 0) == 0; }),
              0);
}

TEST(RealtimeServerTest, ServerStartsAndStopsItsRealtimeHost) {
    Server plain(memoryOptions());
    EXPECT_EQ(plain.realtime(), nullptr);
    EXPECT_EQ(plain.realtimePort(), 0);

    Options options = memoryOptions();
    options.realtime = quickOptions();
    Server server(options);
    ASSERT_NE(server.realtime(), nullptr);
    const unsigned short port = server.start();
    const unsigned short realtimePort = server.realtimePort();
    EXPECT_NE(realtimePort, 0);
    EXPECT_NE(realtimePort, port);
    TestHttpClient client(realtimePort);
    const Reply reply = client.get("/socket.io/1/?t=1");
    EXPECT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.body.substr(40), ":10:5:websocket,xhr-polling");
    EXPECT_EQ(server.realtime()->handshakeCount(), 1u);
    EXPECT_EQ(TestHttpClient(port).postEnvelope("/7/timestamp").code(), 200);
    server.stop();
    EXPECT_TRUE(client.closedByServer());
}

}  // namespace vorn::emulator::emutest::realtime_host_test
