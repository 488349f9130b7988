#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/cloud/VornCloud.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/net/VornUrlRequest.h"

#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>

using namespace vorn;
using json = nlohmann::json;

namespace emulator_cloud_test {

struct Outcome {
    bool called = false;
    std::optional<VornCloudResult> result;
    OptionalError error;
    VornCloudResultBlock block() {
        return [this](const std::optional<VornCloudResult>& r, const OptionalError& e) {
            called = true;
            result = r;
            error = e;
        };
    }
};

class EmulatorCloudTest : public test::EmulatorTest {
protected:
    Outcome call(const std::string& name, const json& parameters) {
        Outcome outcome;
        VornCloud::callFunctionInBackground(name, parameters, outcome.block());
        EXPECT_TRUE(test::runUntil([&] { return outcome.called; }, std::chrono::seconds(20)));
        return outcome;
    }
    void writeFunction(const std::string& name, const std::string& script) {
        const auto path = functions() / name;
        std::ofstream(path) << "#!/bin/sh\n" << script << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }
    std::filesystem::path functions() { return emulatorServer().options().functionsDir; }
};

TEST_F(EmulatorCloudTest, TheBuiltInFunctionsAnswer) {
    const auto hello = call("hello", json{{"name", "Ada"}});
    ASSERT_FALSE(hello.error) << hello.error->message();
    EXPECT_EQ(std::get<json>(*hello.result), (json{{"message", "Hello, Ada"}}));

    const auto echo = call("echo", json{{"a", 1}, {"_e", "ignored"}});
    EXPECT_EQ(std::get<json>(*echo.result), (json{{"a", 1}}));

    const auto fail = call("fail", json{{"message", "on purpose"}});
    ASSERT_TRUE(fail.error.has_value());
    EXPECT_EQ(fail.error->code, kVornErrorCloudFunctionFailed);
    EXPECT_EQ(fail.error->message(), "on purpose");

    const auto missing = call("nobody-here", json::object());
    EXPECT_EQ(missing.error->message(), "function not found: nobody-here");

    EXPECT_EQ(VornCloud::callFunction("hello", json{{"name", "Bo"}}).value_or(""), R"({"message":"Hello, Bo"})");
}

TEST_F(EmulatorCloudTest, FunctionsOfTheFolderRunWithTheirInputAndFacts) {
    writeFunction(
        "score",
        R"(read input; printf '{"input": %s, "function": "%s", "key": "%s"}' "$input" "$VORN_FUNCTION" "$VORN_APP_KEY")");
    writeFunction("words", "echo plain words");
    writeFunction("broken", "echo 'first' >&2; echo 'the real reason' >&2; exit 3");
    writeFunction("hello", "echo '{\"message\": \"mine\"}'");

    const auto score = call("score", json{{"level", 2}});
    ASSERT_FALSE(score.error) << score.error->message();
    const auto answer = std::get<json>(*score.result);
    EXPECT_EQ(answer["input"], (json{{"level", 2}}));
    EXPECT_EQ(answer["function"], "score");
    EXPECT_EQ(answer["key"], kAppKey);

    EXPECT_EQ(std::get<std::string>(*call("words", json::object()).result), "plain words\n");
    const auto broken = call("broken", json::object());
    ASSERT_TRUE(broken.error.has_value());
    EXPECT_EQ(broken.error->message(), "the real reason");
    EXPECT_EQ(std::get<json>(*call("hello", json::object()).result)["message"], "mine") << "the folder wins";
}

TEST_F(EmulatorCloudTest, AFunctionPastItsTimeLimitIsKilledWithItsChildren) {
    writeFunction("slow", "sleep 30 & sleep 30");
    const auto started = std::chrono::steady_clock::now();
    const auto slow = call("slow", json::object());
    ASSERT_TRUE(slow.error.has_value());
    EXPECT_EQ(slow.error->message(), "timeout");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
}

TEST_F(EmulatorCloudTest, ACallInFlightWhenTheEmulatorStopsIsAnswered503) {
    const auto marker = functions() / "started";
    writeFunction("long", "touch '" + marker.string() + "'; sleep 30");
    Outcome outcome;
    VornCloud::callFunctionInBackground("long", json::object(), outcome.block());
    ASSERT_TRUE(test::runUntil([&] { return std::filesystem::exists(marker); }, std::chrono::seconds(20)));
    const auto stopping = std::chrono::steady_clock::now();
    emulatorServer().stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(5));
    ASSERT_TRUE(test::runUntil([&] { return outcome.called; }, std::chrono::seconds(20)));
    // The service's refusal, not a connection closed under the call.
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, kVornErrorCloudFunctionFailed) << outcome.error->message();
    EXPECT_EQ(outcome.error->message(), "the emulator is stopping");
}

TEST_F(EmulatorCloudTest, AFunctionThatClosesItsOutputStillEndsAtTheLimit) {
    // Four of them at once (all the workers), then an ordinary call: each
    // ends at the limit and frees its worker.
    writeFunction("escape", "exec >&- 2>&-; sleep 8");
    writeFunction("quick", "echo '{\"ok\": true}'");
    const auto started = std::chrono::steady_clock::now();
    std::vector<Outcome> escapes(4);
    for (auto& outcome : escapes) VornCloud::callFunctionInBackground("escape", json::object(), outcome.block());
    Outcome quick;
    VornCloud::callFunctionInBackground("quick", json::object(), quick.block());
    ASSERT_TRUE(test::runUntil(
        [&] { return quick.called && std::all_of(escapes.begin(), escapes.end(), [](auto& o) { return o.called; }); },
        std::chrono::seconds(20)));
    for (const auto& outcome : escapes) {
        ASSERT_TRUE(outcome.error.has_value());
        EXPECT_EQ(outcome.error->message(), "timeout");
    }
    EXPECT_FALSE(quick.error) << quick.error->message();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(7));
}

TEST_F(EmulatorCloudTest, AFunctionHoldsOnlyItsStandardDescriptorsAndReadsALine) {
    writeFunction("descriptors", "for f in /proc/$$/fd/*; do readlink \"$f\" || true; done");
    writeFunction("line", "if read line; then echo \"read: $line\"; else echo 'no line'; fi");
    // Whatever the shell holds (its pipes, its script), none is a socket:
    // not the emulator's listening socket, not the caller's connection.
    const auto listed = call("descriptors", json::object());
    ASSERT_TRUE(listed.result) << (listed.error ? listed.error->message() : "");
    const auto* text = std::get_if<std::string>(&*listed.result);
    const std::string descriptors = text != nullptr ? *text : std::get<json>(*listed.result).dump();
    EXPECT_FALSE(descriptors.empty());
    EXPECT_EQ(descriptors.find("socket:"), std::string::npos) << descriptors;
    EXPECT_EQ(std::get<std::string>(*call("line", json{{"a", 1}}).result), "read: {\"a\":1}\n");
}

TEST_F(EmulatorCloudTest, AFileThatCannotBeRunFailsWithTheReason) {
    const auto path = functions() / "notascript";
    std::ofstream(path) << "echo this has no interpreter line\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    const auto outcome = call("notascript", json::object());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, kVornErrorCloudFunctionFailed);
    EXPECT_NE(outcome.error->message().find("cannot start the function"), std::string::npos)
        << outcome.error->message();
}

TEST_F(EmulatorCloudTest, IgnoringSIGCHLDNeverTurnsAFailureIntoAnAnswer) {
    writeFunction("broken", "exit 3");
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGCHLD, &ignore, &previous);
    const auto broken = call("broken", json::object());
    sigaction(SIGCHLD, &previous, nullptr);
    ASSERT_TRUE(broken.error.has_value());
    EXPECT_EQ(broken.error->code, kVornErrorCloudFunctionFailed);
}

TEST_F(EmulatorCloudTest, AMalformedOrForeignKeyIsRefused) {
    const auto post = [&](const std::string& header) {
        auto request = VornUrlRequest::initWithUrl("http://" + host() + "/1/endpoint");
        if (!header.empty()) request->addValue(header, "a");
        request->setPostBody(R"({"_e": "hello"})");
        request->startSyncConnection();
        return json::parse(request->responseData().value_or("null"), nullptr, false);
    };
    const std::string device(32, 'a');
    EXPECT_EQ(post(""), (json{{"sucess", false}, {"message", "missing or malformed \"a\" header"}}));
    EXPECT_EQ(post("garbage")["sucess"], false);
    EXPECT_EQ(post(std::string(kAppKey) + "-1.5-2.000000-com.x-" + device + "-1")["sucess"], false);
    EXPECT_EQ(post("other-key-1.000000-2.000000-com.x-" + device + "-1")["message"], "invalid application key");
    EXPECT_EQ(post(std::string(kAppKey) + "-1.000000--2.500000-com.x-y-" + device + "-1")["message"], "Hello, world");
}

}  // namespace emulator_cloud_test
