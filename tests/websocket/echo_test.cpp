// Round trips through Boost.Beast's WebSocket server, plain and over TLS with
// a certificate made at test time; certificate pinning; listener queues.
#include "BeastEchoServer.h"
#include "WsTestPeer.h"
#include "WsTestSupport.h"
#include "support/TestLoop.h"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>

#include <cstdio>
#include <cstdlib>
#include <random>

namespace vorn::test {
namespace {

std::vector<SRMessage> messagesOfManySizes() {
    std::vector<SRMessage> messages;
    std::mt19937 random(7);
    for (std::size_t size : {0u, 1u, 125u, 126u, 127u, 1000u, 2047u, 2048u, 2049u, 65535u, 65536u, 100000u, 1u << 20}) {
        std::string text;
        // ASCII with multi-byte characters mixed in.
        while (text.size() < size) text += (text.size() % 5 == 0 && text.size() + 3 <= size) ? "\xE2\x82\xAC" : "t";
        text.resize(size, 't');
        messages.emplace_back(std::move(text));
        SRData bytes(size);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        messages.emplace_back(std::move(bytes));
    }
    return messages;
}

/// Sends each message and waits for its echo; then closes.
void echoEach(Client& client, const std::vector<SRMessage>& messages) {
    for (std::size_t index = 0; index < messages.size(); ++index) {
        SCOPED_TRACE(index);
        if (isText(messages[index])) {
            client.socket->send(std::get<std::string>(messages[index]));
        } else {
            client.socket->send(std::get<SRData>(messages[index]));
        }
        ASSERT_TRUE(runUntil([&] { return client.delegate->messages.size() == index + 1; }));
        EXPECT_EQ(client.delegate->messages[index], messages[index]);
    }
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
    EXPECT_FALSE(client.delegate->error.has_value());
}

/// Points the system trust store at a file for the life of the object.
class TrustStore {
public:
    explicit TrustStore(const std::string& pem) : path_(writeTemporaryFile(pem)) {
        ::setenv("SSL_CERT_FILE", path_.c_str(), 1);
    }
    ~TrustStore() {
        ::unsetenv("SSL_CERT_FILE");
        std::remove(path_.c_str());
    }

private:
    std::string path_;
};

class WebSocketTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() { certificate_ = new TestCertificate(makeCertificate()); }
    static void TearDownTestSuite() { delete certificate_; }
    static BeastEchoServer::Tls tls() { return {certificate_->certificatePem, certificate_->privateKeyPem}; }
    static Client pinnedClient(const BeastEchoServer& server, std::optional<std::vector<SRCertificateData>> pins) {
        SRURLRequest request(*SRURL::URLWithString(server.url()));
        request.setSR_SSLPinnedCertificates(std::move(pins));
        return makeClient(request);
    }
    static void expectInvalidServerCert(Client& client) {
        ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
        ASSERT_TRUE(client.delegate->error.has_value());
        EXPECT_EQ(client.delegate->error->domain, kVornErrorDomain);
        EXPECT_EQ(client.delegate->error->code, 23556);
        EXPECT_EQ(client.delegate->error->message(), "Invalid server cert");
        EXPECT_EQ(client.delegate->opens, 0);
        // The failure is reported before the state changes.
        EXPECT_TRUE(runUntil([&] { return client.socket->readyState() == SRReadyState::CLOSED; }));
    }
    static TestCertificate* certificate_;
};

TestCertificate* WebSocketTls::certificate_ = nullptr;

TEST(WebSocketEcho, MessagesOfManySizesComeBackUnchanged) {
    BeastEchoServer server;
    auto client = makeClient(server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->opens == 1; }));
    echoEach(client, messagesOfManySizes());
}

TEST_F(WebSocketTls, PinnedCertificateConnectsAndEchoes) {
    BeastEchoServer server(tls());
    auto client = pinnedClient(server, std::vector<SRCertificateData>{makeCertificate().der, certificate_->der});
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->opens == 1; }));
    echoEach(client, messagesOfManySizes());
}

TEST_F(WebSocketTls, TrustedChainConnectsWithoutPins) {
    BeastEchoServer server(tls());
    TrustStore trust(certificate_->certificatePem);
    auto client = makeClient(server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->opens == 1 || client.delegate->ended(); }));
    ASSERT_EQ(client.delegate->opens, 1) << (client.delegate->error ? client.delegate->error->message() : "");
    echoEach(client, {SRMessage(std::string("over TLS")), SRMessage(SRData(70000, 1))});
}

TEST_F(WebSocketTls, UntrustedChainFailsTheHandshake) {
    BeastEchoServer server(tls());
    auto client = makeClient(server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
    ASSERT_TRUE(client.delegate->error.has_value());
    EXPECT_NE(client.delegate->error->domain, kVornErrorDomain);
    EXPECT_EQ(client.delegate->opens, 0);
}

TEST_F(WebSocketTls, HostNameMustMatchTheCertificate) {
    const TestCertificate other = makeCertificate("DNS:other.example");
    BeastEchoServer server(BeastEchoServer::Tls{other.certificatePem, other.privateKeyPem});
    TrustStore trust(other.certificatePem);
    auto client = makeClient(server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
    ASSERT_TRUE(client.delegate->error.has_value());
    EXPECT_EQ(client.delegate->opens, 0);
}

TEST_F(WebSocketTls, PinNotInTheChainFails) {
    BeastEchoServer server(tls());
    auto client = pinnedClient(server, std::vector<SRCertificateData>{makeCertificate().der});
    client.socket->open();
    expectInvalidServerCert(client);
}

TEST_F(WebSocketTls, EmptyPinListFailsEvenATrustedChain) {
    BeastEchoServer server(tls());
    TrustStore trust(certificate_->certificatePem);
    auto client = pinnedClient(server, std::vector<SRCertificateData>{});
    client.socket->open();
    expectInvalidServerCert(client);
}

TEST_F(WebSocketTls, APeerCloseDuringALargeMessageWaitsForEveryByte) {
    for (int round = 0; round < 3; ++round) {
        BeastEchoServer server(tls(), BeastEchoServer::Mode::CloseDuringFirstMessage);
        auto client = pinnedClient(server, std::vector<SRCertificateData>{certificate_->der});
        client.delegate->onOpen = [](const std::shared_ptr<vSRWebSocket>& socket) {
            socket->send(SRData(6u << 20, 0x5A));
        };
        client.socket->open();
        ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }, std::chrono::seconds(30)));
        ASSERT_TRUE(client.delegate->closed.has_value())
            << (client.delegate->error ? client.delegate->error->message() : "");
        EXPECT_EQ(client.delegate->closed->code, 1000);
        EXPECT_TRUE(client.delegate->closed->wasClean);
        // The server read the whole message and then the close frame.
        EXPECT_TRUE(runUntil([&] { return server.cleanCloses() == 1; }));
    }
}

TEST(WebSocketEnd, TheConnectionClosesWhenTheStreamEnds) {
    std::optional<std::string> afterEnd;
    RawServer server([&](RawPeer& peer) {
        peer.write(handshakeResponse(peer.readRequest()));
        peer.shutdownSend();
        afterEnd = peer.readUntilEnd(5s);
    });
    auto client = makeClient(server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
    // The socket object is still held here; its connection is closed all the same.
    ASSERT_TRUE(runUntil([&] { return server.finished(); }));
    EXPECT_TRUE(afterEnd.has_value());
}

TEST(WebSocketMemory, BuffersShrinkAfterALargeMessage) {
    BeastEchoServer server;
    auto client = makeClient(server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->opens == 1; }));
    client.socket->send(SRData(8u << 20, 1));
    ASSERT_TRUE(runUntil([&] { return client.delegate->messages.size() == 1; }, std::chrono::seconds(30)));
    client.socket->send(std::string("small"));
    ASSERT_TRUE(runUntil([&] { return client.delegate->messages.size() == 2; }));
    EXPECT_LE(SRWebSocketTestPeer::bufferedCapacity(*client.socket), 256u * 1024);
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
}

TEST(WebSocketQueues, ListenerCallsGoToTheChosenQueue) {
    BeastEchoServer server;
    boost::asio::io_context other;
    auto guard = boost::asio::make_work_guard(other);
    std::thread otherThread([&] { other.run(); });

    // An executor of another io_context.
    auto first = makeClient(server.url());
    std::atomic<bool> openedElsewhere{false};
    std::thread::id callThread;
    first.socket->setDelegateDispatchQueue(other.get_executor());
    first.socket->addReadyStateObserver([](vSRWebSocket&, SRReadyState, SRReadyState, bool) {});
    struct ThreadDelegate : RecordingDelegate {
        std::function<void()> opened;
        void webSocketDidOpen(const std::shared_ptr<vSRWebSocket>& socket) override {
            RecordingDelegate::webSocketDidOpen(socket);
            opened();
        }
    };
    auto delegate = std::make_shared<ThreadDelegate>();
    delegate->opened = [&] {
        callThread = std::this_thread::get_id();
        openedElsewhere = true;
    };
    first.socket->setDelegate(delegate);
    first.socket->open();
    ASSERT_TRUE(runUntil([&] { return openedElsewhere.load(); }));
    EXPECT_EQ(callThread, otherThread.get_id());
    first.socket->close();

    // An operation queue: every call passes through it, in order.
    auto second = makeClient(server.url());
    std::atomic<int> operations{0};
    second.socket->setDelegateOperationQueue([&](std::function<void()> operation) {
        ++operations;
        MainLoop::shared().post(std::move(operation));
    });
    second.socket->open();
    ASSERT_TRUE(runUntil([&] { return second.delegate->opens == 1; }));
    second.socket->send(std::string("via the operation queue"));
    ASSERT_TRUE(runUntil([&] { return second.delegate->messages.size() == 1; }));
    second.socket->close();
    ASSERT_TRUE(runUntil([&] { return second.delegate->ended(); }));
    EXPECT_EQ(operations.load(), 3);  // open, message, close

    guard.reset();
    otherThread.join();
}

TEST(WebSocketQueues, StreamsRunOnAScheduledRunLoop) {
    BeastEchoServer server;
    // A run loop must outlive the streams scheduled on it; the socket's
    // streams are closed on its work queue after the socket is gone.
    static auto* scheduled = new boost::asio::io_context();
    auto& runLoop = *scheduled;
    runLoop.restart();
    auto guard = boost::asio::make_work_guard(runLoop);
    std::thread runLoopThread([&] { runLoop.run(); });

    auto client = makeClient(server.url());
    client.socket->scheduleInRunLoop(runLoop, kSRDefaultRunLoopMode);
    client.socket->scheduleInRunLoop(runLoop, kSRDefaultRunLoopMode);  // recorded once
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->opens == 1; }));
    echoEach(client, {SRMessage(std::string("scheduled")), SRMessage(SRData(5000, 9))});
    client.socket->unscheduleFromRunLoop(runLoop, kSRDefaultRunLoopMode);

    guard.reset();
    runLoopThread.join();
}

TEST(WebSocketLifetime, AnOpenSocketOutlivesItsCreatorsReference) {
    BeastEchoServer server;
    auto client = makeClient(server.url());
    std::weak_ptr<vSRWebSocket> weak = client.socket;
    client.delegate->onMessage = [](const std::shared_ptr<vSRWebSocket>& socket, const SRMessage&) { socket->close(); };
    client.delegate->onOpen = [](const std::shared_ptr<vSRWebSocket>& socket) { socket->send(std::string("hello")); };
    client.socket->open();
    client.socket.reset();

    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
    ASSERT_EQ(client.delegate->messages.size(), 1u);
    EXPECT_EQ(textOf(client.delegate->messages[0]), "hello");
    // Once the connection has ended nothing holds the socket any more.
    EXPECT_TRUE(runUntil([&] { return weak.expired(); }));
}

// The network thread lives for the process, so it may still be writing when
// the process exits; each frame it writes takes a mask key from OpenSSL,
// which frees its state in an exit handler. Sends keep coming from another
// thread while the main thread exits: the exit must be clean, every time.
TEST(WebSocketLifetime, TheProcessExitsCleanlyWhileFramesAreStillBeingWritten) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto exitWhileSending = [] {
        BeastEchoServer server;
        auto client = makeClient(server.url());
        client.socket->open();
        if (!runUntil([&] { return client.delegate->opens == 1; })) std::_Exit(3);
        std::thread([socket = client.socket] {
            for (;;) socket->send(std::string(16, 'x'));
        }).detach();
        // Let the writes get going.
        if (!runUntil([&] { return !client.delegate->messages.empty(); })) std::_Exit(4);
        std::exit(0);
    };
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EXIT(exitWhileSending(), ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
}  // namespace vorn::test
