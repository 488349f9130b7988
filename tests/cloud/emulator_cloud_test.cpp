#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/cloud/VornCloud.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/net/VornUrlRequest.h"

#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>

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
