// Eventual writes per second through the emulator on loopback, beside plain
// saveInBackground creates in the same run.
//
// Each round: `--records` creates with saveInBackground one after another
// (one in flight, as the replay sends them), then all at once; then the same
// number of saveEventually creates kept while the API host points at a port
// where nothing listens (the append rate: each record flushed to disk), and
// their replay once it points back at the emulator (records per second from
// the first send to the last answer).
//
//   bench_eventually [--records N] [--rounds R]
#include "vorn/core/DeviceContext.h"
#include "vorn/core/KeyValueStore.h"
#include "vorn/core/MainLoop.h"
#include "vorn/data/VornEventually.h"
#include "vorn/data/VornObject.h"
#include "vorn/service/Vorn.h"

#include "BenchMedian.h"

#include <vorn_emulator/Server.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace vorn;
using Clock = std::chrono::steady_clock;

namespace {

using vorn::bench::median;

double perSecond(int count, Clock::time_point start) {
    return count / std::chrono::duration<double>(Clock::now() - start).count();
}

std::shared_ptr<VornObject> record(int n) {
    auto object = VornObject::objectWithClassName("BenchEventual");
    object->setObject(VornValue(n), "n");
    object->setObject(VornValue("a record of a typical size"), "label");
    return object;
}

/// Creates per second with saveInBackground, `inFlight` at a time; 0 on a failure.
double plainRound(int records, int inFlight) {
    int sent = 0, done = 0, failed = 0;
    std::function<void()> sendOne = [&] {
        const int n = sent++;
        record(n)->saveInBackgroundWithResultBlock([&](bool ok, const OptionalError&) {
            ++done;
            if (!ok) ++failed;
            if (sent < records) sendOne();
        });
    };
    const auto start = Clock::now();
    for (int i = 0; i < std::min(records, inFlight); ++i) sendOne();
    const bool ended = MainLoop::shared().runUntil([&] { return done == records; }, std::chrono::seconds(120));
    return ended && failed == 0 ? perSecond(records, start) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    int records = 1000;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--records") == 0) records = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    emulator::Options options;
    options.port = 0;
    options.memory = true;
    emulator::Server server(options);
    const std::string host = "127.0.0.1:" + std::to_string(server.start());
    const auto folder =
        std::filesystem::temp_directory_path() / ("vorn-bench-eventually-" + std::to_string(::getpid()));
    DeviceContext::shared().setDataDirectory(folder);
    DeviceContext::shared().setStore(std::make_shared<MemoryKeyValueStore>());
    Vorn::registerWithAppKey(
        "bench-key", VornConfiguration{.bundleIdentifier = "com.vorn.bench", .apiHost = host, .fallbackHost = host});
    // While nothing listens, the replay waits instead of trying again.
    VornEventually::shared().setRetryDelays(std::chrono::seconds(600), std::chrono::seconds(600));
    const ServiceHosts online = DeviceContext::shared().hosts();
    ServiceHosts offline = online;
    offline.api = offline.fallback = "127.0.0.1:1";

    std::vector<double> sequential, allAtOnce, appends, replays;
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        sequential.push_back(plainRound(records, 1));
        allAtOnce.push_back(plainRound(records, records));

        DeviceContext::shared().setHosts(offline);
        std::vector<std::shared_ptr<VornObject>> kept;
        int answered = 0;
        auto start = Clock::now();
        for (int n = 0; n < records; ++n) {
            kept.push_back(record(n));
            ok = kept.back()->saveEventually([&](bool done, const OptionalError&) { answered += done ? 1 : 0; }) && ok;
        }
        appends.push_back(perSecond(records, start));
        MainLoop::shared().runFor(std::chrono::milliseconds(50));  // the first send fails: nothing listens
        DeviceContext::shared().setHosts(online);
        start = Clock::now();
        VornEventually::shared().replayNow();
        const bool drained =
            MainLoop::shared().runUntil([&] { return answered == records; }, std::chrono::seconds(300));
        ok = ok && drained;
        replays.push_back(drained ? perSecond(records, start) : 0);
    }
    std::printf("%-36s %12s\n", "writes of one object", "per second");
    std::printf("%-36s %12.0f\n", "saveInBackground, one in flight", median(sequential));
    std::printf("%-36s %12.0f\n", "saveInBackground, all at once", median(allAtOnce));
    std::printf("%-36s %12.0f\n", "saveEventually, kept (flushed)", median(appends));
    std::printf("%-36s %12.0f   (%.2f of one in flight)\n", "saveEventually, replayed", median(replays),
                median(replays) / median(sequential));
    std::printf("medians of %d rounds of %d records\n", rounds, records);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return ok ? 0 : 1;
}
