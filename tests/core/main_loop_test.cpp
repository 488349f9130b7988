#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/MainLoop.h"
#include "vorn/service/VornService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace vorn;

TEST(MainLoop, PostedWorkRunsInOrderWhenPolled) {
    auto& loop = MainLoop::shared();
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) loop.post([&order, i] { order.push_back(i); });
    EXPECT_TRUE(order.empty());
    test::drainLoop();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(MainLoop, RunReturnsOnStopAndRunUntilHonoursItsDeadline) {
    auto& loop = MainLoop::shared();
    loop.post([&loop] { loop.stop(); });
    loop.run();  // returns because of the stop above
    const auto started = MainLoop::Clock::now();
    EXPECT_FALSE(loop.runUntil([] { return false; }, std::chrono::milliseconds(30)));
    EXPECT_GE(MainLoop::Clock::now() - started, std::chrono::milliseconds(30));
    bool ran = false;
    loop.post([&] { ran = true; });
    EXPECT_TRUE(loop.runUntil([&] { return ran; }, std::chrono::seconds(5)));
}

TEST(MainLoop, OwnThreadDeliversServiceCallbacksStartedElsewhere) {
    test::ScriptedHttpServer server([](const test::RecordedRequest&) {
        return test::ScriptedAction::reply(R"({"result": {"code": 200, "message": "ok"}, "data": {"S": "x"}})");
    });
    test::TestDevice device(server.hostAndPort());
    auto& loop = MainLoop::shared();
    loop.startThread();
    std::promise<bool> onLoopThread;
    std::thread caller([&] {
        VornServiceCall call;
        call.path = "timestamp";
        VornService::send(call, [&](const VornServiceReply& reply) {
            onLoopThread.set_value(reply.succeeded() && loop.isCurrentThread());
        });
    });
    caller.join();
    auto result = onLoopThread.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(result.get());
    loop.stopThread();
    EXPECT_FALSE(loop.isCurrentThread());
}
