// How many asynchronous service calls per second the library sustains
// against the emulator on loopback: rounds of N timestamp calls, all in
// flight at once, each round timed from the first send to the last handler.
//
//   bench_service_calls [--calls N] [--rounds R] [--host HOST:PORT]
//
// Without --host the emulator runs in this process (its own thread).
#include "vorn/core/DeviceContext.h"
#include "vorn/core/KeyValueStore.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/Vorn.h"
#include "vorn/core/VornService.h"

#include <vorn_emulator/Server.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace vorn;

int main(int argc, char** argv) {
    int calls = 1000;
    int rounds = 5;
    std::string host;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--calls") == 0) calls = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--host") == 0) host = argv[i + 1];
    }

    std::unique_ptr<emulator::Server> server;
    if (host.empty()) {
        emulator::Options options;
        options.port = 0;
        options.memory = true;
        server = std::make_unique<emulator::Server>(options);
        host = "127.0.0.1:" + std::to_string(server->start());
    }
    DeviceContext::shared().setStore(std::make_shared<MemoryKeyValueStore>());
    Vorn::registerWithAppKey(
        "bench-key", VornConfiguration{.bundleIdentifier = "com.vorn.bench", .apiHost = host, .fallbackHost = host});

    VornServiceCall call;
    call.path = "timestamp";
    call.c = nullptr;
    call.objectId = nullptr;
    call.data = nullptr;

    std::vector<double> rates;
    for (int round = 0; round <= rounds; ++round) {  // round 0 warms the connections up
        int done = 0;
        int failed = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) {
            VornService::send(call, [&](const VornServiceReply& reply) {
                ++done;
                if (!reply.succeeded()) ++failed;
            });
        }
        if (!MainLoop::shared().runUntil([&] { return done == calls; }, std::chrono::seconds(120))) {
            std::fprintf(stderr, "round %d: only %d of %d calls finished\n", round, done, calls);
            return 1;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (failed > 0) {
            std::fprintf(stderr, "round %d: %d calls failed\n", round, failed);
            return 1;
        }
        if (round == 0) continue;
        rates.push_back(calls / seconds);
        std::printf("round %d: %d calls in %.3f s = %.0f calls/s\n", round, calls, seconds, calls / seconds);
    }
    std::sort(rates.begin(), rates.end());
    std::printf("median: %.0f calls/s (%d calls in flight, %d rounds)\n", rates[rates.size() / 2], calls, rounds);
    return 0;
}
