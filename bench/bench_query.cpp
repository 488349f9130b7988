// A find over a class of 10,000 objects, timed end to end through the
// library against the emulator on loopback (two constraints, an order and
// a limit of 100), and finds answered from the local cache: the same find
// (100 objects) and one category in full (1,000 objects).
//
//   bench_query [--objects N] [--rounds R]
#include "vorn/core/DeviceContext.h"
#include "vorn/core/KeyValueStore.h"
#include "vorn/core/MainLoop.h"
#include "vorn/data/VornObjectsBatch.h"
#include "vorn/query/VornQuery.h"
#include "vorn/service/Vorn.h"

#include "BenchMedian.h"

#include <vorn_emulator/Server.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

using namespace vorn;
using Clock = std::chrono::steady_clock;

namespace {

using vorn::bench::median;

bool wait(bool& done) {
    return MainLoop::shared().runUntil([&] { return done; }, std::chrono::seconds(120));
}

/// Milliseconds of one find, and the number of objects it returned.
std::pair<double, std::size_t> timedFind(const std::shared_ptr<VornQuery>& query) {
    bool done = false;
    std::size_t found = 0;
    const auto start = Clock::now();
    query->findObjectsInBackgroundWithBlock(
        [&](const std::optional<VornObjectList>& objects, const OptionalError& error) {
        if (error) std::fprintf(stderr, "find failed: %d %s\n", error->code, error->message().c_str());
        found = objects ? objects->size() : 0;
        done = true;
    });
    if (!wait(done)) return {-1, 0};
    return {std::chrono::duration<double, std::milli>(Clock::now() - start).count(), found};
}

/// One category whole: a tenth of the objects (1,000 of the default 10,000).
std::shared_ptr<VornQuery> categoryQuery(int policy) {
    auto query = VornQuery::queryWithClassName("Item");
    query->whereKeyEqualTo("category", "c7");
    query->orderByAscending("label");
    query->setLimit(1000);
    query->setCachePolicy(policy);
    return query;
}

/// Median milliseconds of a find answered from the cache, after one find
/// from the network fills it; `found` is the number of objects each gave.
double medianCacheHit(std::shared_ptr<VornQuery> (*make)(int), int rounds, std::size_t& found) {
    found = timedFind(make(kVornCachePolicyNetworkOnly)).second;
    std::vector<double> cached;
    for (int round = 0; round <= rounds; ++round) {
        auto [ms, count] = timedFind(make(kVornCachePolicyCacheElseNetwork));
        if (count != found) std::fprintf(stderr, "the cache answered %zu objects, the service %zu\n", count, found);
        if (round > 0) cached.push_back(ms);
    }
    return median(cached);
}

std::shared_ptr<VornQuery> benchmarkQuery(int policy) {
    auto query = VornQuery::queryWithClassName("Item");
    query->whereKeyEqualTo("category", "c3");
    query->whereKeyGreaterThan("score", 2500);
    query->orderByDescending("score");
    query->setLimit(100);
    query->setCachePolicy(policy);
    return query;
}

}  // namespace

int main(int argc, char** argv) {
    int objects = 10000;
    int rounds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--objects") == 0) objects = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    }
    emulator::Options options;
    options.port = 0;
    options.memory = true;
    emulator::Server server(options);
    const auto host = "127.0.0.1:" + std::to_string(server.start());
    const auto home = std::filesystem::temp_directory_path() / ("vorn-bench-" + std::to_string(::getpid()));
    DeviceContext::shared().setStore(std::make_shared<MemoryKeyValueStore>());
    Vorn::registerWithAppKey(
        "bench-key",
        VornConfiguration{
            .bundleIdentifier = "com.vorn.bench", .dataDirectory = home, .apiHost = host, .fallbackHost = host});

    const auto loadStart = Clock::now();
    for (int first = 0; first < objects; first += 50) {
        auto batch = VornObjectsBatch::init();
        for (int i = first; i < std::min(objects, first + 50); ++i) {
            batch->saveVornObjectWithClassName("Item", {{"score", (i * 7919) % 10000},
                                                        {"category", "c" + std::to_string(i % 10)},
                                                        {"label", "item " + std::to_string(i)}});
        }
        bool done = false, ok = false;
        batch->batchObjectsInBackgroundWithResultBlock([&](bool succeeded, const OptionalError&) {
            ok = succeeded;
            done = true;
        });
        if (!wait(done) || !ok) {
            std::fprintf(stderr, "loading failed\n");
            return 1;
        }
    }
    std::printf("loaded %d objects in %.0f ms\n", objects,
                std::chrono::duration<double, std::milli>(Clock::now() - loadStart).count());

    std::vector<double> network, cached;
    std::size_t found = 0;
    for (int round = 0; round <= rounds; ++round) {
        auto [ms, count] = timedFind(benchmarkQuery(kVornCachePolicyIgnoreCache));
        if (ms < 0) return 1;
        if (round > 0) network.push_back(ms);
        found = count;
    }
    std::size_t cachedSmall = 0, cachedLarge = 0;
    const double small = medianCacheHit(benchmarkQuery, rounds, cachedSmall);
    const double large = medianCacheHit(categoryQuery, rounds, cachedLarge);
    std::printf("find through the emulator: median %.2f ms (%zu objects, %d rounds)\n", median(network), found, rounds);
    std::printf("same find from the cache:  median %.2f ms (%zu objects)\n", small, cachedSmall);
    std::printf("category from the cache:   median %.2f ms (%zu objects)\n", large, cachedLarge);
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
}
