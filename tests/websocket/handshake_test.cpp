// The opening handshake against a scripted raw server: the request, the
// checks on the response, and how a connection that never opens ends.
#include "WsTestPeer.h"
#include "WsTestSupport.h"
#include "support/TestLoop.h"

#include "vorn/core/vBase64.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <mutex>

namespace vorn::test {
namespace {

/// A server that answers the handshake with `response(request)`; then it
/// either reads until the client ends the stream (`rest`), or reads the
/// client's close frame and ends the connection itself.
struct AnsweringServer {
    explicit AnsweringServer(std::function<std::string(const std::string&)> response, bool readCloseFrame = true)
        : server([this, response, readCloseFrame](RawPeer& peer) {
              request = peer.readRequest();
              peer.write(response(request));
              if (readCloseFrame) {
                  close = peer.readFrame();
              } else {
                  rest = peer.readUntilEnd();
              }
          }) {}
    std::string request;
    std::optional<WireFrame> close;
    std::optional<std::string> rest;
    RawServer server;
};

TEST(WebSocketHandshake, RequestCarriesItsFieldsInOrder) {
    AnsweringServer answering(
        [](const std::string& request) { return handshakeResponse(request, "Sec-WebSocket-Protocol: b\r\n"); });
    SRURLRequest request(*SRURL::URLWithString(answering.server.url("/chat/room?x=1#frag")));
    request.setValue("custom", "X-Custom");
    request.setValue("https://app.example", "origin");  // replaces the computed field in place
    auto client = makeClient(request, std::vector<std::string>{"a", "b"});
    client.socket->open();

    ASSERT_TRUE(runUntil([&] { return client.delegate->opens == 1; }));
    EXPECT_EQ(client.socket->readyState(), SRReadyState::OPEN);
    EXPECT_EQ(client.socket->protocol(), "b");
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return answering.server.finished(); }));

    const std::string& sent = answering.request;
    EXPECT_EQ(sent.substr(0, sent.find("\r\n")), "GET /chat/room?x=1 HTTP/1.1");
    EXPECT_EQ(headerNames(sent),
              (std::vector<std::string>{"Host", "Upgrade", "Connection", "Sec-WebSocket-Key", "Sec-WebSocket-Version",
                                        "origin", "Sec-WebSocket-Protocol", "X-Custom"}));
    EXPECT_EQ(headerValue(sent, "Host"), "127.0.0.1:" + std::to_string(answering.server.port()));
    EXPECT_EQ(headerValue(sent, "Upgrade"), "websocket");
    EXPECT_EQ(headerValue(sent, "Connection"), "Upgrade");
    EXPECT_EQ(headerValue(sent, "Sec-WebSocket-Version"), "13");
    EXPECT_EQ(headerValue(sent, "Origin"), "https://app.example");
    EXPECT_EQ(headerValue(sent, "Sec-WebSocket-Protocol"), "a, b");
    const std::string key = headerValue(sent, "Sec-WebSocket-Key");
    ASSERT_EQ(key.size(), 24u);
    EXPECT_EQ(vBase64::decodeBytes(key.data(), key.size())->size(), 16u);
    // `close` sends 1000 without a reason.
    ASSERT_TRUE(answering.close.has_value());
    EXPECT_EQ(answering.close->opcode, 8);
    EXPECT_EQ(answering.close->payload.size(), 2u);
    EXPECT_EQ(answering.close->closeCode(), 1000);
}

TEST(WebSocketHandshake, HostOriginAndPortFollowTheUrl) {
    struct Case {
        const char* url;
        std::uint16_t port;
        const char* host;
        const char* origin;
    };
    const Case cases[] = {
        {"ws://example.com/a/b", 80, "example.com", "http://example.com/"},
        {"http://example.com", 80, "example.com", "http://example.com/"},
        {"wss://example.com/x", 443, "example.com", "https://example.com/"},
        {"HTTPS://example.com", 443, "example.com", "https://example.com/"},
        {"ws://example.com:8080/path/in?q", 8080, "example.com:8080", "http://example.com:8080/"},
        {"wss://[::1]:9000/", 9000, "[::1]:9000", "https://[::1]:9000/"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.url);
        auto socket = vSRWebSocket::initWithURL(std::string(entry.url));
        EXPECT_EQ(SRWebSocketTestPeer::port(*socket), entry.port);
        const std::string request = SRWebSocketTestPeer::handshakeRequest(*socket);
        EXPECT_EQ(headerValue(request, "Host"), entry.host);
        EXPECT_EQ(headerValue(request, "Origin"), entry.origin);
        EXPECT_EQ(headerValue(request, "Sec-WebSocket-Protocol"), "");
    }
}

TEST(WebSocketHandshake, ResponseStatusBelow400Opens) {
    AnsweringServer answering(
        [](const std::string& request) { return handshakeResponse(request, "Location: /elsewhere\r\n", 302); });
    auto client = makeClient(answering.server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->opens == 1; }));
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
}

struct FailureCase {
    const char* name;
    std::function<std::string(const std::string&)> response;
    vSRWebSocket::Protocols protocols;
    const char* domain;
    int code;
    const char* message;
};

void PrintTo(const FailureCase& param, std::ostream* out) {
    *out << param.name;
}

class WebSocketHandshakeFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(WebSocketHandshakeFailure, FailsWithItsErrorAndSendsNothingMore) {
    const auto& param = GetParam();
    AnsweringServer answering(param.response, false);
    auto client = makeClient(answering.server.url(), param.protocols);
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended() && answering.server.finished(); }));

    ASSERT_TRUE(client.delegate->error.has_value());
    EXPECT_EQ(client.delegate->error->domain, param.domain);
    EXPECT_EQ(client.delegate->error->code, param.code);
    EXPECT_EQ(client.delegate->error->message(), param.message);
    EXPECT_EQ(client.delegate->order, std::vector<std::string>{"fail"});
    // The failure is reported before the state changes.
    EXPECT_TRUE(runUntil([&] { return client.socket->readyState() == SRReadyState::CLOSED; }));
    EXPECT_EQ(answering.rest, std::string());  // no frame, then the end
}

INSTANTIATE_TEST_SUITE_P(
    Responses, WebSocketHandshakeFailure,
    ::testing::Values(
        FailureCase{"Status400", [](const std::string& r) { return handshakeResponse(r, "", 400); }, std::nullopt,
                    kVornErrorDomain, 2132, "received bad response code from server 400"},
        FailureCase{"WrongAccept",
                    [](const std::string& r) { return handshakeResponse(r, "", 101, "AAAAAAAAAAAAAAAAAAAAAAAAAAA="); },
                    std::nullopt, kSRWebSocketErrorDomain, 2133, "Invalid Sec-WebSocket-Accept response"},
        FailureCase{"MissingAccept", [](const std::string& r) { return handshakeResponse(r, "", 101, ""); },
                    std::nullopt, kSRWebSocketErrorDomain, 2133, "Invalid Sec-WebSocket-Accept response"},
        FailureCase{"UnrequestedProtocol",
                    [](const std::string& r) { return handshakeResponse(r, "Sec-WebSocket-Protocol: c\r\n"); },
                    std::vector<std::string>{"a", "b"}, kSRWebSocketErrorDomain, 2133,
                    "Server specified Sec-WebSocket-Protocol that wasn't requested"},
        FailureCase{"StatusLineWithoutReason",
                    [](const std::string& r) {
    auto response = handshakeResponse(r);
    return response.replace(0, response.find("\r\n"), "HTTP/1.1 101");
                    },
                    std::nullopt, kSRWebSocketErrorDomain, 2133, "Invalid handshake response header"},
        FailureCase{
            "HugeHeaderField",
            [](const std::string& r) { return handshakeResponse(r, "X-Big: " + std::string(70000, 'x') + "\r\n"); },
            std::nullopt, kSRWebSocketErrorDomain, 2133, "Handshake response header too large"},
        FailureCase{"HeaderThatNeverEnds",
                    [](const std::string&) {
    std::string lines = "HTTP/1.1 101 Switching Protocols\r\n";
    while (lines.size() < 100000) lines += "X-More: yes\r\n";
    return lines;
                    },
                    std::nullopt, kSRWebSocketErrorDomain, 2133, "Handshake response header too large"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WebSocketHandshake, ProtocolAnsweredWithoutRequestIsAccepted) {
    AnsweringServer answering(
        [](const std::string& request) { return handshakeResponse(request, "Sec-WebSocket-Protocol: c\r\n"); });
    auto client = makeClient(answering.server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->opens == 1; }));
    EXPECT_EQ(client.socket->protocol(), "c");
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
}

TEST(WebSocketHandshake, HeaderInPiecesAndFirstFrameInTheSameRead) {
    // The header one byte per segment; then the rest of the header and the
    // first frame in one write.
    RawServer pieces([](RawPeer& peer) {
        const std::string response = handshakeResponse(peer.readRequest());
        peer.writeInPieces(response.substr(0, response.size() - 2), 1);
        peer.write(response.substr(response.size() - 2) + frame(1, "first") + frame(2, "second"));
        awaitClose(peer);
    });
    auto client = makeClient(pieces.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->messages.size() == 2; }));
    EXPECT_EQ(client.delegate->order, (std::vector<std::string>{"open", "message", "message"}));
    EXPECT_EQ(textOf(client.delegate->messages[0]), "first");
    EXPECT_TRUE(isText(client.delegate->messages[0]));
    EXPECT_EQ(textOf(client.delegate->messages[1]), "second");
    EXPECT_FALSE(isText(client.delegate->messages[1]));
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
}

TEST(WebSocketHandshake, ReadyStateChangesAreObservedBeforeAndAfter) {
    RawServer server([](RawPeer& peer) {
        peer.write(handshakeResponse(peer.readRequest()));
        auto close = peer.readFrame();
        if (close) peer.write(closeFrame(close->closeCode()));
    });
    auto client = makeClient(server.url());
    std::mutex mutex;
    std::vector<std::string> seen;
    client.socket->addReadyStateObserver([&](vSRWebSocket& socket, SRReadyState from, SRReadyState to, bool prior) {
        std::lock_guard lock(mutex);
        seen.push_back(std::to_string(static_cast<int>(from)) + ">" + std::to_string(static_cast<int>(to)) +
                       (prior ? " prior " : " after ") + std::to_string(static_cast<int>(socket.readyState())));
    });
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->opens == 1; }));
    client.socket->closeWithCode(4000, std::string("done"));
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));

    // A close begun here ends with the stream, not with the peer's answer.
    ASSERT_TRUE(client.delegate->closed.has_value());
    EXPECT_EQ(client.delegate->closed->code, 0);
    EXPECT_EQ(client.delegate->closed->reason, "Stream end encountered");
    EXPECT_FALSE(client.delegate->closed->wasClean);
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"0>1 prior 0", "0>1 after 1", "1>2 prior 1", "1>2 after 2", "2>3 prior 2",
                                              "2>3 after 3"}));
}

TEST(WebSocketHandshake, CloseWhileConnectingSendsNoFrame) {
    std::atomic<bool> requestRead{false};
    std::optional<std::string> afterRequest;
    RawServer server([&](RawPeer& peer) {
        peer.readRequest();
        requestRead = true;
        afterRequest = peer.readUntilEnd();
    });
    auto client = makeClient(server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return requestRead.load(); }));
    client.socket->closeWithCode(1000, std::string("never mind"));
    client.socket->closeWithCode(1001, std::nullopt);  // a second call does nothing
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended() && server.finished(); }));

    EXPECT_EQ(afterRequest, std::string());
    ASSERT_TRUE(client.delegate->closed.has_value());
    EXPECT_EQ(client.delegate->closed->code, 0);
    EXPECT_FALSE(client.delegate->closed->reason.has_value());
    EXPECT_TRUE(client.delegate->closed->wasClean);
    EXPECT_EQ(client.delegate->order, std::vector<std::string>{"close"});
    EXPECT_EQ(client.socket->readyState(), SRReadyState::CLOSING);
}

TEST(WebSocketHandshake, StreamEndBeforeTheResponseIsAnUncleanClose) {
    RawServer server([](RawPeer& peer) { peer.readRequest(); });
    auto client = makeClient(server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
    ASSERT_TRUE(client.delegate->closed.has_value());
    EXPECT_EQ(client.delegate->closed->code, 0);
    EXPECT_EQ(client.delegate->closed->reason, "Stream end encountered");
    EXPECT_FALSE(client.delegate->closed->wasClean);
    EXPECT_EQ(client.socket->readyState(), SRReadyState::CLOSED);
}

TEST(WebSocketHandshake, RefusedConnectionFailsWithTheStreamError) {
    // A port that nothing listens on.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);

    auto client = makeClient("ws://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
    ASSERT_TRUE(client.delegate->error.has_value());
    EXPECT_EQ(client.delegate->error->domain, "system");
    EXPECT_EQ(client.delegate->error->code, ECONNREFUSED);
    EXPECT_FALSE(client.delegate->error->message().empty());
    EXPECT_TRUE(runUntil([&] { return client.socket->readyState() == SRReadyState::CLOSED; }));
}

TEST(WebSocketHandshake, NothingCanAddLinesToTheRequest) {
    auto withHeader = [](const std::string& name, const std::string& value) {
        auto request = SRURLRequest::requestWithURL(*SRURL::URLWithString("ws://127.0.0.1:9/"));
        request.setValue(value, name);
        return request;
    };
    EXPECT_THROW(vSRWebSocket::initWithURLRequest(withHeader("X-A", "1\r\nX-Injected: 2")), std::invalid_argument);
    EXPECT_THROW(vSRWebSocket::initWithURLRequest(withHeader("X-A", "1\nX-Injected: 2")), std::invalid_argument);
    EXPECT_THROW(vSRWebSocket::initWithURLRequest(withHeader("X-A", std::string("1\0", 2))), std::invalid_argument);
    EXPECT_THROW(vSRWebSocket::initWithURLRequest(withHeader("X-A: 1\r\nX-B", "2")), std::invalid_argument);
    EXPECT_THROW(vSRWebSocket::initWithURLRequest(withHeader("X A", "2")), std::invalid_argument);
    EXPECT_NO_THROW(vSRWebSocket::initWithURLRequest(withHeader("X-A", "fine, with spaces")));
    for (const char* protocol : {"chat\r\nX-Injected: 1", "two words", "", "a,b"}) {
        EXPECT_THROW(vSRWebSocket::initWithURL(std::string("ws://127.0.0.1:9/"), std::vector<std::string>{protocol}),
                     std::invalid_argument)
            << protocol;
    }
    if (auto url = SRURL::URLWithString("ws://127.0.0.1:9/path\r\nX-Injected: 1")) {
        EXPECT_THROW(vSRWebSocket::initWithURL(*url), std::invalid_argument);
    }
    if (auto url = SRURL::URLWithString("ws://127.0.0.1:9/?q=a b")) {
        EXPECT_THROW(vSRWebSocket::initWithURL(*url), std::invalid_argument);
    }
}

TEST(WebSocketHandshake, AnEmptyProtocolListRequestsNone) {
    AnsweringServer answering([](const std::string& request) { return handshakeResponse(request); });
    auto client = makeClient(answering.server.url(), std::vector<std::string>{});
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->opens == 1; }));
    const auto names = headerNames(answering.request);
    EXPECT_EQ(std::count(names.begin(), names.end(), "Sec-WebSocket-Protocol"), 0);
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
}

TEST(WebSocketHandshake, CloseBeforeOpenMakesNoConnection) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::weak_ptr<vSRWebSocket> weak;
    {
        auto client = makeClient("ws://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
        weak = client.socket;
        client.socket->close();
        client.socket->open();
        // The work queue runs both; afterwards nothing holds the socket.
        ASSERT_TRUE(runUntil([&] { return client.socket->readyState() != SRReadyState::CONNECTING; }));
    }
    EXPECT_TRUE(runUntil([&] { return weak.expired(); }));
    pollfd waiting{listener, POLLIN, 0};
    EXPECT_EQ(::poll(&waiting, 1, 200), 0);  // no connection is pending
    ::close(listener);
}

TEST(WebSocketHandshake, MisuseIsRefused) {
    EXPECT_THROW(vSRWebSocket::initWithURL(std::string("ftp://example.com/")), std::invalid_argument);
    EXPECT_THROW(vSRWebSocket::initWithURL(std::string("not a url")), std::invalid_argument);
    EXPECT_THROW(vSRWebSocket::initWithURLRequest(SRURLRequest()), std::invalid_argument);
    auto socket = vSRWebSocket::initWithURL(std::string("ws://127.0.0.1:9/"));
    EXPECT_THROW(socket->closeWithCode(0, std::nullopt), std::invalid_argument);
    EXPECT_THROW(socket->setDelegateDispatchQueue(boost::asio::any_io_executor()), std::invalid_argument);
    EXPECT_THROW(socket->closeWithCode(1000, std::string(124, 'r')), std::invalid_argument);
    EXPECT_THROW(socket->closeWithCode(1000, std::string("\xff")), std::invalid_argument);
    EXPECT_THROW(socket->send(std::string("\xc3")), std::invalid_argument);
    socket->setDelegateOperationQueue([](std::function<void()> operation) { operation(); });
    EXPECT_NO_THROW(socket->setDelegateDispatchQueue(boost::asio::any_io_executor()));
    socket->open();
    EXPECT_THROW(socket->open(), std::logic_error);
    socket->close();
}

}  // namespace
}  // namespace vorn::test
