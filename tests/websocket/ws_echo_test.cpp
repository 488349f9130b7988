// The echo client's contract: every message goes back with its type, and
// the one last line on standard output says how the connection ended.
#include "WsTestSupport.h"
#include "support/TestLoop.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace vorn::test {
namespace {

struct EchoRun {
    std::string output;
    int exitCode = -1;
};

EchoRun runEcho(const std::string& arguments) {
    EchoRun run;
    FILE* pipe = ::popen((std::string(WS_ECHO_PATH) + " " + arguments).c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    while (std::size_t count = std::fread(buffer, 1, sizeof buffer, pipe)) run.output.append(buffer, count);
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(WsEcho, EchoesEachMessageWithItsTypeAndReportsTheClose) {
    std::string request;
    std::vector<WireFrame> echoes;
    RawServer server([&](RawPeer& peer) {
        request = peer.readRequest();
        peer.write(handshakeResponse(request, "Sec-WebSocket-Protocol: chat\r\n"));
        peer.write(frame(1, "h\xC3\xA9llo") + frame(2, std::string("\x00\xFF", 2)) + frame(1, ""));
        for (int count = 0; count < 3; ++count) {
            if (auto echo = peer.readFrame()) echoes.push_back(*echo);
        }
        peer.write(closeFrame(1000, "all done"));
        awaitClose(peer);
    });
    const EchoRun run = runEcho(server.url() + " --protocol chat --protocol superchat");
    ASSERT_TRUE(runUntil([&] { return server.finished(); }));  // the script's results are complete

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "closed 1000 true all done\n");
    EXPECT_EQ(headerValue(request, "Sec-WebSocket-Protocol"), "chat, superchat");
    ASSERT_EQ(echoes.size(), 3u);
    EXPECT_EQ(echoes[0].opcode, 1);
    EXPECT_EQ(echoes[0].payload, "h\xC3\xA9llo");
    EXPECT_EQ(echoes[1].opcode, 2);
    EXPECT_EQ(echoes[1].payload, std::string("\x00\xFF", 2));
    EXPECT_EQ(echoes[2].opcode, 1);
    EXPECT_EQ(echoes[2].payload, "");
}

TEST(WsEcho, ReportsAFailure) {
    RawServer server([](RawPeer& peer) { peer.write(handshakeResponse(peer.readRequest(), "", 403)); });
    const EchoRun run = runEcho(server.url());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "failed com.vorn.sdk 2132 received bad response code from server 403\n");
}

TEST(WsEcho, RefusesBadArguments) {
    EXPECT_EQ(runEcho("2>/dev/null").exitCode, 2);
    EXPECT_EQ(runEcho("ftp://example.com/ 2>/dev/null").exitCode, 2);
    EXPECT_EQ(runEcho("ws://127.0.0.1:9/ --protocol 2>/dev/null").exitCode, 2);
}

}  // namespace
}  // namespace vorn::test
