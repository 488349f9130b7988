// Frames against a scripted raw server after a valid handshake: what the
// client writes, what it accepts, and how each protocol error closes.
#include "WsTestSupport.h"
#include "support/TestLoop.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>

namespace vorn::test {
namespace {

/// A server that accepts the handshake and then runs `script`.
RawServer::Script afterHandshake(std::function<void(RawPeer&)> script) {
    return [script](RawPeer& peer) {
        peer.write(handshakeResponse(peer.readRequest()));
        script(peer);
    };
}

Client openClient(const RawServer& server) {
    auto client = makeClient(server.url());
    client.socket->open();
    EXPECT_TRUE(runUntil([&] { return client.delegate->opens == 1 || client.delegate->ended(); }));
    return client;
}

std::string bytesUpTo(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t index = 0; index < size; ++index) bytes[index] = static_cast<char>(index * 7 + 3);
    return bytes;
}

TEST(WebSocketFrames, OutgoingFramesUseTheShortestHeaderAndAreAlwaysMasked) {
    std::vector<WireFrame> frames;
    RawServer server(afterHandshake([&](RawPeer& peer) {
        for (int count = 0; count < 8; ++count) {
            auto next = peer.readFrame();
            if (!next) return;
            frames.push_back(*next);
        }
        peer.write(closeFrame(1000));
        peer.readFrame();
    }));
    auto client = openClient(server);
    for (std::size_t size : {0u, 125u, 126u, 65535u, 65536u}) client.socket->send(std::string(size, 'x'));
    client.socket->send(SRData{1, 2, 3});
    client.socket->send(SRData{});
    client.socket->send(nullptr);
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));

    ASSERT_EQ(frames.size(), 8u);
    const std::size_t headers[] = {2, 2, 4, 4, 10, 2, 2, 2};
    const std::size_t sizes[] = {0, 125, 126, 65535, 65536, 3, 0, 0};
    const int opcodes[] = {1, 1, 1, 1, 1, 2, 2, 1};
    for (std::size_t index = 0; index < frames.size(); ++index) {
        SCOPED_TRACE(index);
        EXPECT_TRUE(frames[index].fin);
        EXPECT_EQ(frames[index].rsv, 0);
        EXPECT_TRUE(frames[index].masked);
        EXPECT_EQ(frames[index].headerLength, headers[index]);
        EXPECT_EQ(frames[index].opcode, opcodes[index]);
        EXPECT_EQ(frames[index].payload.size(), sizes[index]);
    }
    EXPECT_EQ(frames[4].payload, std::string(65536, 'x'));
    EXPECT_EQ(frames[5].payload, std::string("\x01\x02\x03", 3));
    // The peer's close is answered and the teardown reports it as clean.
    ASSERT_TRUE(client.delegate->closed.has_value());
    EXPECT_EQ(client.delegate->closed->code, 1000);
    EXPECT_TRUE(client.delegate->closed->wasClean);
}

TEST(WebSocketFrames, TextSplitInsideCharactersIsAssembled) {
    RawServer server(afterHandshake([](RawPeer& peer) {
        // "héllo" with é cut between two frames; 😀 (F0 9F 98 80) over three.
        peer.write(frame(1, "h\xC3", false) + frame(0, "\xA9ll", false) + frame(0, "o", true));
        peer.write(frame(1, "\xF0", false));
        peer.write(frame(0, "\x9F\x98", false));
        peer.write(frame(0, "\x80!", true));
        awaitClose(peer);
    }));
    auto client = openClient(server);
    ASSERT_TRUE(runUntil([&] { return client.delegate->messages.size() == 2; }));
    EXPECT_EQ(textOf(client.delegate->messages[0]), "h\xC3\xA9llo");
    EXPECT_EQ(textOf(client.delegate->messages[1]), "\xF0\x9F\x98\x80!");
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
}

TEST(WebSocketFrames, IllFormedTextClosesWith1007BeforeTheMessageEnds) {
    std::optional<WireFrame> close;
    RawServer server(afterHandshake([&](RawPeer& peer) {
        peer.write(frame(1, "ab\xFF", false));
        close = peer.readFrame();  // before the final fragment is ever sent
    }));
    auto client = openClient(server);
    ASSERT_TRUE(runUntil([&] { return server.finished() && client.delegate->ended(); }));
    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->opcode, 8);
    EXPECT_EQ(close->closeCode(), 1007);
    EXPECT_EQ(close->closeReason(), "Text frames must be valid UTF-8");
    EXPECT_TRUE(client.delegate->messages.empty());
}

TEST(WebSocketFrames, PingsAreAnsweredWithTheirPayload) {
    std::optional<WireFrame> pong;
    std::optional<WireFrame> betweenFragments;
    RawServer server(afterHandshake([&](RawPeer& peer) {
        peer.write(frame(9, bytesUpTo(125)));
        pong = peer.readFrame();
        peer.write(frame(1, "Hel", false) + frame(9, "p") + frame(0, "lo", true));
        betweenFragments = peer.readFrame();
        awaitClose(peer);
    }));
    auto client = openClient(server);
    ASSERT_TRUE(runUntil([&] { return client.delegate->messages.size() == 1; }));
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended() && server.finished(); }));

    ASSERT_TRUE(pong.has_value());
    EXPECT_EQ(pong->opcode, 10);
    EXPECT_TRUE(pong->masked);
    EXPECT_EQ(pong->payload, bytesUpTo(125));
    ASSERT_TRUE(betweenFragments.has_value());
    EXPECT_EQ(betweenFragments->opcode, 10);
    EXPECT_EQ(betweenFragments->payload, "p");
    EXPECT_EQ(textOf(client.delegate->messages[0]), "Hello");
}

TEST(WebSocketFrames, LargeMessagesArriveWhole) {
    const std::string binary = bytesUpTo(1 << 20);
    std::string text;
    while (text.size() < 70000) text += "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    RawServer server(afterHandshake([&](RawPeer& peer) {
        peer.write(frame(2, binary) + frame(1, text));
        awaitClose(peer);
    }));
    auto client = openClient(server);
    ASSERT_TRUE(runUntil([&] { return client.delegate->messages.size() == 2; }));
    EXPECT_FALSE(isText(client.delegate->messages[0]));
    EXPECT_TRUE(textOf(client.delegate->messages[0]) == binary);
    EXPECT_TRUE(textOf(client.delegate->messages[1]) == text);
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
}

TEST(WebSocketFrames, ManyFramesInOneReadKeepTheirOrder) {
    RawServer server(afterHandshake([](RawPeer& peer) {
        std::string burst;
        for (int index = 0; index < 200; ++index) burst += frame(1, std::to_string(index));
        peer.write(burst);
        awaitClose(peer);
    }));
    auto client = openClient(server);
    ASSERT_TRUE(runUntil([&] { return client.delegate->messages.size() == 200; }));
    for (int index = 0; index < 200; ++index)
        EXPECT_EQ(textOf(client.delegate->messages[index]), std::to_string(index));
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended(); }));
}

// The peer's close frame.

struct PeerClose {
    const char* name;
    std::string payload;
    std::int32_t reportedCode;
    std::optional<std::string> reportedReason;
    const char* protocolError;  // the answer's reason when the frame is refused
};

void PrintTo(const PeerClose& param, std::ostream* out) {
    *out << param.name;
}

class WebSocketPeerClose : public ::testing::TestWithParam<PeerClose> {};

TEST_P(WebSocketPeerClose, IsAnsweredAndReported) {
    const auto& param = GetParam();
    std::optional<WireFrame> answer;
    std::optional<std::string> rest;
    RawServer server(afterHandshake([&](RawPeer& peer) {
        peer.write(frame(8, param.payload));
        answer = peer.readFrame();
        rest = peer.readUntilEnd();
    }));
    auto client = openClient(server);
    ASSERT_TRUE(runUntil([&] { return server.finished() && client.delegate->ended(); }));

    // A valid close is answered with 1000; a refused one with 1002 and why.
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->opcode, 8);
    if (param.protocolError) {
        EXPECT_EQ(answer->closeCode(), 1002);
        EXPECT_EQ(answer->closeReason(), param.protocolError);
    } else {
        EXPECT_EQ(answer->payload, std::string("\x03\xE8", 2));
    }
    EXPECT_EQ(rest, std::string());
    ASSERT_TRUE(client.delegate->closed.has_value());
    EXPECT_EQ(client.delegate->closed->code, param.reportedCode);
    EXPECT_EQ(client.delegate->closed->reason, param.reportedReason);
    EXPECT_TRUE(client.delegate->closed->wasClean);
}

std::string code(int value, std::string reason = "") {
    return std::string{static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)} + reason;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, WebSocketPeerClose,
    ::testing::Values(PeerClose{"Valid1000", code(1000, "bye"), 1000, "bye", nullptr},
                      PeerClose{"Valid1011", code(1011), 1011, std::nullopt, nullptr},
                      PeerClose{"Valid3000", code(3000, "x"), 3000, "x", nullptr},
                      PeerClose{"Valid4999", code(4999, "\xC3\xA9"), 4999, "\xC3\xA9", nullptr},
                      PeerClose{"Empty", "", 1005, std::nullopt, nullptr},
                      PeerClose{"Invalid1005", code(1005), 1005, std::nullopt, "Cannot have close code of 1005"},
                      PeerClose{"Invalid1006", code(1006), 1006, std::nullopt, "Cannot have close code of 1006"},
                      PeerClose{"Invalid999", code(999), 999, std::nullopt, "Cannot have close code of 999"},
                      PeerClose{"Invalid2000", code(2000), 2000, std::nullopt, "Cannot have close code of 2000"},
                      PeerClose{"Invalid5000", code(5000), 5000, std::nullopt, "Cannot have close code of 5000"},
                      PeerClose{"ReasonNotUtf8", code(1000, "\xFF"), 1000, std::nullopt,
                                "Close reason MUST be valid UTF-8"},
                      PeerClose{"OneByte", "\x03", 0, std::nullopt, "Payload for close must be larger than 2 bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

// Protocol errors close with 1002 and their message.

struct ProtocolError {
    const char* name;
    std::string bytes;
    const char* reason;
};

void PrintTo(const ProtocolError& param, std::ostream* out) {
    *out << param.name;
}

class WebSocketProtocolError : public ::testing::TestWithParam<ProtocolError> {};

TEST_P(WebSocketProtocolError, ClosesWith1002) {
    const auto& param = GetParam();
    std::optional<WireFrame> close;
    RawServer server(afterHandshake([&](RawPeer& peer) {
        peer.write(param.bytes);
        for (;;) {
            close = peer.readFrame();
            if (!close || close->opcode == 8) break;
        }
    }));
    auto client = openClient(server);
    ASSERT_TRUE(runUntil([&] { return server.finished() && client.delegate->ended(); }));
    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->closeCode(), 1002);
    EXPECT_EQ(close->closeReason(), param.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, WebSocketProtocolError,
    ::testing::Values(ProtocolError{"RsvBits", rawFrame(0xC1, "x"), "Server used RSV bits"},
                      ProtocolError{"ContinuationFirst", rawFrame(0x80, "x"), "cannot continue a message"},
                      ProtocolError{"NewMessageInsideMessage", frame(1, "a", false) + frame(1, "b"),
                                    "all data frames after the initial data frame must have opcode 0"},
                      ProtocolError{"FragmentedPing", rawFrame(0x09, "x"), "Fragmented control frames not allowed"},
                      ProtocolError{"Ping126", frame(9, std::string(126, 'p')),
                                    "Control frames cannot have payloads larger than 126 bytes"},
                      ProtocolError{"MaskedFromServer", rawFrame(0x81, "x", true), "Client must receive unmasked data"},
                      ProtocolError{"UnknownOpcode", rawFrame(0x83, "x"), "Unknown opcode 3"},
                      ProtocolError{"UnknownControlOpcode", rawFrame(0x8B, ""), "Unknown opcode 11"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WebSocketFrames, NothingIsWrittenOnceTheTeardownBegan) {
    // The writer is held up by a message that the peer does not read yet; the
    // peer's close then starts the teardown, and a message sent after that
    // never reaches the wire.
    const std::size_t bigSize = 32u << 20;
    std::optional<WireFrame> big, close;
    std::optional<std::string> rest;
    RawServer server([&](RawPeer& peer) {
        peer.write(handshakeResponse(peer.readRequest()) + closeFrame(1000));
        big = peer.readFrame(std::chrono::seconds(30));
        close = peer.readFrame();
        rest = peer.readUntilEnd();
    });
    auto client = makeClient(server.url());
    client.socket->addReadyStateObserver([=](vSRWebSocket& socket, SRReadyState, SRReadyState to, bool prior) {
        if (prior) return;
        if (to == SRReadyState::OPEN) socket.send(SRData(bigSize, 0x5A));
        if (to == SRReadyState::CLOSING) socket.send(std::string("after"));
    });
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return server.finished() && client.delegate->ended(); }, std::chrono::seconds(60)));

    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(big->opcode, 2);
    EXPECT_EQ(big->payload.size(), bigSize);
    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->opcode, 8);
    EXPECT_EQ(rest, std::string());
}

TEST(WebSocketFrames, CloseReasonIsSentAsItsBytes) {
    std::optional<WireFrame> close;
    RawServer server(afterHandshake([&](RawPeer& peer) { close = peer.readFrame(); }));
    auto client = openClient(server);
    const std::string reason = "d\xC3\xA9j\xC3\xA0 vu \xE2\x9C\x93";  // 9 characters, 13 bytes
    client.socket->closeWithCode(3001, reason);
    ASSERT_TRUE(runUntil([&] { return server.finished() && client.delegate->ended(); }));
    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->payload.size(), 2 + reason.size());
    EXPECT_EQ(close->closeCode(), 3001);
    EXPECT_EQ(close->closeReason(), reason);
    EXPECT_EQ(client.socket->readyState(), SRReadyState::CLOSED);
}

TEST(WebSocketFrames, MessagesOfOneSegmentAndBurstsOfSendsKeepTheirOrder) {
    // Many messages arrive in one segment, with a ping among them; the
    // listener sees each once, in order, and sends from two threads reach the
    // peer in each thread's order, all before the close frame.
    constexpr int kReceived = 300;
    constexpr int kSentPerThread = 200;
    std::optional<WireFrame> pong;
    std::vector<WireFrame> frames;
    RawServer server(afterHandshake([&](RawPeer& peer) {
        std::string burst;
        for (int index = 0; index < kReceived; ++index) {
            burst += frame(1, "m" + std::to_string(index));
            if (index == kReceived / 2) burst += frame(9, "ping");
        }
        peer.write(burst);
        pong = peer.readFrame();
        while (auto next = peer.readFrame()) {
            frames.push_back(*next);
            if (next->opcode == 8) break;
        }
        peer.write(closeFrame(1000));
    }));
    auto client = openClient(server);
    ASSERT_TRUE(runUntil([&] { return client.delegate->messages.size() == kReceived; }));
    for (int index = 0; index < kReceived; ++index)
        EXPECT_EQ(textOf(client.delegate->messages[index]), "m" + std::to_string(index));

    std::thread other([&] {
        for (int index = 0; index < kSentPerThread; ++index) client.socket->send("b" + std::to_string(index));
    });
    for (int index = 0; index < kSentPerThread; ++index) client.socket->send("a" + std::to_string(index));
    other.join();
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return server.finished() && client.delegate->ended(); }));

    ASSERT_TRUE(pong.has_value());
    EXPECT_EQ(pong->opcode, 10);
    EXPECT_EQ(pong->payload, "ping");
    ASSERT_EQ(frames.size(), 2u * kSentPerThread + 1);
    EXPECT_EQ(frames.back().opcode, 8);
    int nextA = 0, nextB = 0;
    for (std::size_t index = 0; index + 1 < frames.size(); ++index) {
        const std::string& payload = frames[index].payload;
        if (payload[0] == 'a') {
            EXPECT_EQ(payload, "a" + std::to_string(nextA++));
        } else {
            EXPECT_EQ(payload, "b" + std::to_string(nextB++));
        }
    }
    EXPECT_EQ(nextA, kSentPerThread);
    EXPECT_EQ(nextB, kSentPerThread);
}

TEST(WebSocketFrames, AnOperationQueueSeesOneOperationPerMessage) {
    constexpr int kReceived = 50;
    RawServer server(afterHandshake([&](RawPeer& peer) {
        std::string burst;
        for (int index = 0; index < kReceived; ++index) burst += frame(1, std::to_string(index));
        peer.write(burst);
        awaitClose(peer);
    }));
    auto client = makeClient(server.url());
    // Shared with the queue, which the network thread still feeds (the
    // close's operations) after the test has taken what it checks. The queue
    // and the operations in it keep the socket, so the test runs them until
    // the connection has ended: the socket then lets the queue go.
    struct Queue {
        std::mutex mutex;
        std::vector<std::function<void()>> operations;
    };
    auto queue = std::make_shared<Queue>();
    client.socket->setDelegateOperationQueue([queue](std::function<void()> operation) {
        std::lock_guard lock(queue->mutex);
        queue->operations.push_back(std::move(operation));
    });
    client.socket->open();
    auto queued = [&] {
        std::lock_guard lock(queue->mutex);
        return queue->operations.size();
    };
    // The open, then one operation per message.
    ASSERT_TRUE(runUntil([&] { return queued() == 1 + kReceived; }));
    std::vector<std::function<void()>> operations;
    {
        std::lock_guard lock(queue->mutex);
        operations.swap(queue->operations);
    }
    for (auto& operation : operations) operation();
    ASSERT_EQ(client.delegate->messages.size(), static_cast<std::size_t>(kReceived));
    EXPECT_EQ(textOf(client.delegate->messages.back()), std::to_string(kReceived - 1));
    client.socket->close();
    ASSERT_TRUE(runUntil([&] {
        {
            std::lock_guard lock(queue->mutex);
            operations.swap(queue->operations);
        }
        for (auto& operation : operations) operation();
        operations.clear();
        return server.finished() && client.delegate->ended();
    }));
}

// The close frame is the last frame written.

struct EndOfBurst {
    const char* name;
    std::string bytes;  // what follows the messages in the same write
};

void PrintTo(const EndOfBurst& param, std::ostream* out) {
    *out << param.name;
}

class WebSocketCloseFrameIsLast : public ::testing::TestWithParam<EndOfBurst> {};

TEST_P(WebSocketCloseFrameIsLast, AnswersOfTheListenerAreNotWrittenAfterIt) {
    // Messages and then what closes the connection arrive in one segment;
    // the listener answers every message it is given, also those delivered
    // after the close began. Several rounds, since the answers race the close.
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        std::optional<WireFrame> close;
        std::optional<std::string> afterClose;
        RawServer server(afterHandshake([&](RawPeer& peer) {
            std::string burst;
            for (int index = 0; index < 16; ++index) burst += frame(1, "m" + std::to_string(index));
            peer.write(burst + GetParam().bytes);
            while (auto next = peer.readFrame()) {
                if (next->opcode == 8) {
                    close = next;
                    break;
                }
            }
            afterClose = peer.readUntilEnd();
        }));
        auto client = makeClient(server.url());
        client.delegate->onMessage = [](const std::shared_ptr<vSRWebSocket>& socket, const SRMessage& message) {
            if (const auto* text = std::get_if<std::string>(&message)) {
                socket->send(*text);
            } else {
                socket->send(std::get<SRData>(message));
            }
        };
        client.socket->open();
        ASSERT_TRUE(runUntil([&] { return server.finished() && client.delegate->ended(); }));
        ASSERT_TRUE(close.has_value());
        ASSERT_TRUE(afterClose.has_value());
        EXPECT_EQ(afterClose->size(), 0u) << "bytes written after the close frame";
    }
}

INSTANTIATE_TEST_SUITE_P(Bursts, WebSocketCloseFrameIsLast,
                         ::testing::Values(EndOfBurst{"MaskedText", rawFrame(0x81, "x", true)},
                                           EndOfBurst{"MaskedEmptyBinary", rawFrame(0x82, "", true)},
                                           EndOfBurst{"PeerClose", closeFrame(1000)},
                                           EndOfBurst{"PingThenRsvBits", frame(9, "p") + rawFrame(0xC1, "x")}),
                         [](const auto& info) { return std::string(info.param.name); });

// The bound on received messages.

/// A frame header announcing `length` payload bytes in the 64-bit form.
std::string announcedFrame(std::uint8_t firstByte, std::uint64_t length) {
    std::string header{static_cast<char>(firstByte), static_cast<char>(127)};
    for (int index = 7; index >= 0; --index) header.push_back(static_cast<char>(length >> (8 * index)));
    return header;
}

struct Oversized {
    const char* name;
    std::string bytes;
};

void PrintTo(const Oversized& param, std::ostream* out) {
    *out << param.name;
}

class WebSocketMessageTooBig : public ::testing::TestWithParam<Oversized> {};

constexpr std::size_t kSmallLimit = 1000;

TEST_P(WebSocketMessageTooBig, ClosesWith1009AndFails) {
    std::optional<WireFrame> close;
    std::optional<std::string> rest;
    RawServer server(afterHandshake([&](RawPeer& peer) {
        peer.write(GetParam().bytes);
        close = peer.readFrame();
        rest = peer.readUntilEnd();
    }));
    auto client = makeClient(server.url());
    client.socket->setMaximumMessageSize(kSmallLimit);
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return server.finished() && client.delegate->ended(); }));

    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->opcode, 8);
    EXPECT_EQ(close->closeCode(), 1009);
    EXPECT_EQ(close->closeReason(), "Message too big");
    EXPECT_EQ(rest, std::string());
    ASSERT_TRUE(client.delegate->error.has_value());
    EXPECT_FALSE(client.delegate->closed.has_value());
    EXPECT_EQ(client.delegate->error->domain, kSRWebSocketErrorDomain);
    EXPECT_EQ(client.delegate->error->code, kSRErrorMessageTooBig);
    EXPECT_EQ(client.delegate->error->message(), "Message too big: more than 1000 bytes");
    // Messages before the oversized one still arrive; it never does.
    for (const auto& message : client.delegate->messages) EXPECT_EQ(textOf(message), "before");
    EXPECT_EQ(client.socket->readyState(), SRReadyState::CLOSED);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, WebSocketMessageTooBig,
    ::testing::Values(
        // Refused on the header: the payload is never sent.
        Oversized{"AnnouncedOneBeyond", frame(1, "before") + announcedFrame(0x82, kSmallLimit + 1)},
        Oversized{"AnnouncedHuge", announcedFrame(0x81, std::uint64_t{1} << 62)},
        Oversized{"AnnouncedLargest", announcedFrame(0x82, ~std::uint64_t{0} >> 1)},
        Oversized{"FragmentsAddingUp", frame(1, "before") + frame(1, std::string(600, 'a'), false) +
                                           frame(0, std::string(400, 'b'), false) + frame(0, "c", true)},
        Oversized{"ManySmallFragments",
                  [] {
    std::string bytes = frame(2, std::string(10, 'x'), false);
    for (int index = 0; index < 200; ++index) bytes += frame(0, std::string(10, 'x'), false);
    return bytes;
                  }()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WebSocketMessageSize, MessagesUpToTheLimitArriveWhole) {
    RawServer server(afterHandshake([&](RawPeer& peer) {
        peer.write(frame(2, std::string(kSmallLimit, 'z')) + frame(1, std::string(500, 'a'), false) + frame(9, "p") +
                   frame(0, std::string(500, 'b'), true));
        awaitClose(peer);
    }));
    auto client = makeClient(server.url());
    client.socket->setMaximumMessageSize(kSmallLimit);
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return client.delegate->messages.size() == 2 || client.delegate->ended(); }));
    ASSERT_EQ(client.delegate->messages.size(), 2u);
    EXPECT_EQ(textOf(client.delegate->messages[0]), std::string(kSmallLimit, 'z'));
    EXPECT_EQ(textOf(client.delegate->messages[1]), std::string(500, 'a') + std::string(500, 'b'));
    client.socket->close();
    ASSERT_TRUE(runUntil([&] { return client.delegate->ended() && server.finished(); }));
    EXPECT_FALSE(client.delegate->error.has_value());
}

TEST(WebSocketMessageSize, TheDefaultIs16MiBAndZeroRestoresIt) {
    auto socket = vSRWebSocket::initWithURL(std::string("ws://127.0.0.1:1/"));
    EXPECT_EQ(kSRDefaultMaximumMessageSize, std::size_t{16} << 20);
    EXPECT_EQ(socket->maximumMessageSize(), kSRDefaultMaximumMessageSize);
    socket->setMaximumMessageSize(5);
    EXPECT_EQ(socket->maximumMessageSize(), 5u);
    socket->setMaximumMessageSize(0);
    EXPECT_EQ(socket->maximumMessageSize(), kSRDefaultMaximumMessageSize);
}

TEST(WebSocketMessageSize, TheDefaultRefusesAFrameOneByteBeyondIt) {
    std::optional<WireFrame> close;
    RawServer server(afterHandshake([&](RawPeer& peer) {
        peer.write(announcedFrame(0x82, kSRDefaultMaximumMessageSize + 1));
        close = peer.readFrame();
    }));
    auto client = makeClient(server.url());
    client.socket->open();
    ASSERT_TRUE(runUntil([&] { return server.finished() && client.delegate->ended(); }));
    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->closeCode(), 1009);
    ASSERT_TRUE(client.delegate->error.has_value());
    EXPECT_EQ(client.delegate->error->code, kSRErrorMessageTooBig);
}

}  // namespace
}  // namespace vorn::test
