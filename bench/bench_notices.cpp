// Change notices through the emulator on loopback, over the WebSocket:
//   latency  from `updateInBackground` of an object to its "updateRow"
//            notice at a subscriber: median and 99th percentile of 1,000
//            updates, one at a time;
//   fan-out  notices per second delivered to 100 subscribers of one table
//            while 200 objects are created, 16 creates in flight.
#include "vorn/core/DeviceContext.h"
#include "vorn/core/MainLoop.h"
#include "vorn/data/VornObject.h"
#include "vorn/realtime/VornEvent.h"
#include "vorn/service/Vorn.h"
#include "vorn_emulator/Realtime.h"
#include "vorn_emulator/Server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kAppKey = "bench-app-key";

class Counter : public vorn::VornEventDelegate {
public:
    void vornEventCanStartListen(const std::shared_ptr<vorn::VornEvent>&) override { ready = true; }
    void vornEvent(const std::shared_ptr<vorn::VornEvent>&, const nlohmann::json&) override {
        ++notices;
        last = Clock::now();
    }
    bool ready = false;
    std::size_t notices = 0;
    Clock::time_point last;
};

bool runUntil(const std::function<bool()>& condition) {
    return vorn::MainLoop::shared().runUntil(condition, std::chrono::seconds(30));
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main() {
    vorn::emulator::Options options;
    options.port = 0;
    options.memory = true;
    options.appKey = kAppKey;
    vorn::emulator::RealtimeOptions realtime;
    realtime.port = 0;
    realtime.transports = {"websocket"};
    options.realtime = realtime;
    vorn::emulator::Server server(options);
    const std::string host = "127.0.0.1:" + std::to_string(server.start());

    const auto home = std::filesystem::temp_directory_path() / ("vorn-bench-notices-" + std::to_string(::getpid()));
    vorn::Vorn::registerWithAppKey(
        kAppKey, vorn::VornConfiguration{.dataDirectory = home,
                                         .apiHost = host,
                                         .fallbackHost = host,
                                         .fileHost = host,
                                         .cloudHost = host,
                                         .realtimeHost = "127.0.0.1:" + std::to_string(server.realtimePort())});

    // Latency: one subscriber of one row.
    auto object = vorn::VornObject::objectWithClassName("Bench");
    object->setObject(vorn::VornValue(0), "n");
    bool saved = false;
    object->saveInBackgroundWithResultBlock([&](bool, const vorn::OptionalError&) { saved = true; });
    runUntil([&] { return saved; });
    auto counter = std::make_shared<Counter>();
    auto event = vorn::VornEvent::init();
    event->setDelegate(counter);
    event->start();
    runUntil([&] { return counter->ready; });
    event->listenRowChange(vorn::VornActionTypeUpdateRow, "Bench", *object->objectId());
    runUntil([&] { return server.realtimeSubscriptionCount() == 1; });

    std::vector<double> latencies;
    for (int i = 1; i <= 1000; ++i) {
        const std::size_t before = counter->notices;
        object->setObject(vorn::VornValue(i), "n");
        const auto start = Clock::now();
        object->updateInBackground();
        if (!runUntil([&] { return counter->notices > before; })) break;
        latencies.push_back(std::chrono::duration<double, std::milli>(counter->last - start).count());
    }
    std::printf("update to notice, %zu updates: median %.3f ms, p99 %.3f ms\n", latencies.size(),
                percentile(latencies, 0.5), percentile(latencies, 0.99));
    event->stop();

    // Fan-out: 100 subscribers of one table.
    std::vector<std::shared_ptr<vorn::VornEvent>> events;
    std::vector<std::shared_ptr<Counter>> counters;
    for (int i = 0; i < 100; ++i) {
        counters.push_back(std::make_shared<Counter>());
        events.push_back(vorn::VornEvent::init());
        events.back()->setDelegate(counters.back());
        events.back()->start();
    }
    runUntil([&] { return std::all_of(counters.begin(), counters.end(), [](auto& c) { return c->ready; }); });
    for (auto& e : events) e->listenTableChange(vorn::VornActionTypeUpdateTable, "Fan");
    runUntil([&] { return server.realtimeSubscriptionCount() == 100; });

    constexpr int kCreates = 200;
    int started = 0;
    int finished = 0;
    std::function<void()> next = [&] {
        if (started >= kCreates) return;
        ++started;
        auto created = vorn::VornObject::objectWithClassName("Fan");
        created->setObject(vorn::VornValue(started), "n");
        created->saveInBackgroundWithResultBlock([&](bool, const vorn::OptionalError&) {
            ++finished;
            next();
        });
    };
    const auto begin = Clock::now();
    for (int i = 0; i < 16; ++i) next();
    const std::size_t expected = static_cast<std::size_t>(kCreates) * counters.size();
    auto delivered = [&] {
        std::size_t total = 0;
        for (auto& c : counters) total += c->notices;
        return total;
    };
    runUntil([&] { return delivered() >= expected; });
    Clock::time_point last = begin;
    for (auto& c : counters) last = std::max(last, c->last);
    const double seconds = std::chrono::duration<double>(last - begin).count();
    std::printf("fan-out to 100 subscribers: %zu of %zu notices in %.3f s, %.0f notices/s (%d creates)\n", delivered(),
                expected, seconds, static_cast<double>(delivered()) / seconds, finished);
    for (auto& e : events) e->stop();
    server.stop();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
}
