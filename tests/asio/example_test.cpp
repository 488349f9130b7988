// The coroutine example, run as a program of its own against an emulator
// in this process.
#include "support/TestDevice.h"

#include <vorn_emulator/Realtime.h>
#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdio>
#include <filesystem>
#include <string>

namespace vorn::async_example_test {

/// Runs a shell command; its standard output and error, and its exit status.
std::pair<std::string, int> runCommand(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return {"", -1};
    char buffer[4096];
    std::size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, read);
    const int status = ::pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(CoroutinesExample, RunsAgainstTheEmulator) {
#if !defined(VORN_COROUTINES_EXAMPLE)
    GTEST_SKIP() << "the examples are not built";
#else
    emulator::Options options;
    options.port = 0;
    options.memory = true;
    options.appKey = "example-app-key";
    emulator::RealtimeOptions realtime;
    realtime.port = 0;
    options.realtime = realtime;
    emulator::Server server(options);
    const std::string api = "127.0.0.1:" + std::to_string(server.start());
    const std::string realtimeHost = "127.0.0.1:" + std::to_string(server.realtimePort());
    const auto home = std::filesystem::temp_directory_path() / ("vorn-coroutines-" + std::to_string(::getpid()));

    // Twice: a new user the first time, a log-in the second.
    for (int run = 0; run < 2; ++run) {
        const std::string command = "env VORN_HOME='" + home.string() + "' VORN_APP_KEY=example-app-key" +
                                    " VORN_REALTIME_HOST=" + realtimeHost + " timeout 60 '" + VORN_COROUTINES_EXAMPLE +
                                    "' " + api;
        const auto [output, status] = runCommand(command);
        if (status == 77) GTEST_SKIP() << output;
        ASSERT_EQ(status, 0) << output;
        EXPECT_NE(output.find(run == 0 ? "signed up as sean" : "logged in as sean"), std::string::npos) << output;
        EXPECT_NE(output.find("upload 100%"), std::string::npos) << output;
        EXPECT_NE(output.find("cloud function hello: {\"message\":\"Hello, sean\"}"), std::string::npos) << output;
        EXPECT_NE(output.find("attachment at http://"), std::string::npos) << output;
        EXPECT_NE(output.find("notice: "), std::string::npos) << output;
        EXPECT_NE(output.find(run == 0 ? "the room holds 1 messages" : "the room holds 3 messages"), std::string::npos)
            << output;
        EXPECT_NE(output.find("coroutines: ok"), std::string::npos) << output;
    }
    server.stop();
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
#endif
}

}  // namespace vorn::async_example_test
