// How finds scale with the size of a class: the emulator runs in a process
// of its own with one class of N objects written straight into its storage
// (one transaction), and the library measures end to end against it
//   - a find with two constraints, an order and a limit of 100,
//   - a count with the same constraints,
//   - a find near a point (limit 100), without and with a distance limit
//     of 12 km (the first sorts the whole class by distance, the second
//     reads the field index's band of latitudes),
// beside the emulator process's resident memory after loading and after
// the finds. Medians of several rounds, for each N and each budget of the
// emulator's object cache (in MiB; its default, or those of --cache-mb).
// A field enters the emulator's field index when a find first looks it
// up: "1st find" and "1st 12km" are the first (untimed) rounds, which fill
// it, and "load idx" loads the same objects into a class whose four fields
// are all in the index already (in this process, into a database in
// memory).
//
//   bench_find_scale [--sizes 10000,100000] [--rounds R] [--cache-mb 256,4096] [--on-disk DIR]
//
// The database is in memory (and so in the resident memory) unless
// --on-disk names a folder for the data folders, which are removed after.
//
// 1,000,000 objects take a while to load: pass --sizes 10000,100000,1000000.
#include "vorn/core/DeviceContext.h"
#include "vorn/core/KeyValueStore.h"
#include "vorn/core/MainLoop.h"
#include "vorn/data/VornGeoPoint.h"
#include "vorn/query/VornQuery.h"
#include "vorn/service/Vorn.h"

#include "BenchMedian.h"

#include <vorn_emulator/Server.h>
#include <vorn_emulator/Storage.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using namespace vorn;
using Clock = std::chrono::steady_clock;

namespace {

using vorn::bench::median;

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Writes `count` objects of class "Item" in one transaction: a score, a
/// category of ten, a label and a place spread over the globe.
void seed(emulator::Storage& storage, int count) {
    emulator::Storage::Transaction transaction(storage);
    const std::string when = "2024-01-01 00:00:00";
    const std::int64_t whenMs = 1704067200000;
    for (int i = 0; i < count; ++i) {
        const nlohmann::json data{{"score", (static_cast<std::int64_t>(i) * 7919) % 10000},
                                  {"category", "c" + std::to_string(i % 10)},
                                  {"label", "item " + std::to_string(i)},
                                  {"place",
                                   {{"__type", "GeoPoint"},
                                    {"latitude", -80.0 + ((i * 37) % 16000) / 100.0},
                                    {"longitude", -179.0 + ((i * 91) % 35800) / 100.0}}}};
        char id[16];
        std::snprintf(id, sizeof id, "o%09d", i);
        storage.execute(
            "INSERT INTO objects (class_name, object_id, data, created_at, updated_at, created_ms, updated_ms) "
            "VALUES (?, ?, ?, ?, ?, ?, ?)",
            {"Item", std::string(id), data.dump(), when, when, whenMs + i, whenMs + i});
    }
    transaction.commit();
}

/// Milliseconds of seed() into a database in memory whose class has its
/// four fields in the field index already.
double timedIndexedLoad(int count) {
    emulator::Storage storage(emulator::Storage::Options{{}, true});
    for (const char* key : {"score", "category", "label", "place"}) storage.indexField("Item", key);
    const auto start = Clock::now();
    seed(storage, count);
    return millisSince(start);
}

/// Resident memory of a process in MiB, from /proc.
double residentMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return 0;
}

/// An emulator process holding `count` objects; its port, or 0.
struct Child {
    pid_t pid = -1;
    unsigned short port = 0;
};

Child startEmulator(int count, std::size_t cacheMiB, const std::string& onDisk) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        emulator::Options options;
        options.port = 0;
        options.memory = onDisk.empty();
        if (!onDisk.empty()) options.dataDir = onDisk;
        options.realtime = std::nullopt;
        options.objectCacheBytes = cacheMiB * 1024 * 1024;
        emulator::Server server(options);
        seed(server.storage(), count);
        server.run([&](unsigned short port) {
            (void)!write(fds[1], &port, sizeof port);
            close(fds[1]);
        });
        _exit(0);
    }
    close(fds[1]);
    Child child{pid, 0};
    if (read(fds[0], &child.port, sizeof child.port) != sizeof child.port) child.port = 0;
    close(fds[0]);
    return child;
}

void stopEmulator(const Child& child) {
    if (child.pid <= 0) return;
    kill(child.pid, SIGTERM);
    int status = 0;
    waitpid(child.pid, &status, 0);
}

bool wait(bool& done) {
    return MainLoop::shared().runUntil([&] { return done; }, std::chrono::seconds(600));
}

std::shared_ptr<VornQuery> constrained() {
    auto query = VornQuery::queryWithClassName("Item");
    query->whereKeyEqualTo("category", "c3");
    query->whereKeyGreaterThan("score", 2500);
    query->orderByDescending("score");
    query->setLimit(100);
    return query;
}

/// Milliseconds of a find, and how many objects it gave (-1 when it failed).
std::pair<double, long> timedFind(const std::shared_ptr<VornQuery>& query) {
    bool done = false;
    long found = -1;
    const auto start = Clock::now();
    query->findObjectsInBackgroundWithBlock([&](const std::optional<VornObjectList>& objects, const OptionalError& e) {
        if (!e && objects) found = static_cast<long>(objects->size());
        done = true;
    });
    if (!wait(done)) return {-1, -1};
    return {millisSince(start), found};
}

std::pair<double, long> timedCount(const std::shared_ptr<VornQuery>& query) {
    bool done = false;
    long found = -1;
    const auto start = Clock::now();
    query->countObjectsInBackgroundWithBlock([&](int count, const OptionalError& e) {
        if (!e) found = count;
        done = true;
    });
    if (!wait(done)) return {-1, -1};
    return {millisSince(start), found};
}

/// "1,2,3" as numbers.
std::vector<int> numbers(const char* text) {
    std::vector<int> result;
    for (const char* at = text; *at != '\0';) {
        result.push_back(std::atoi(at));
        const char* comma = std::strchr(at, ',');
        if (comma == nullptr) break;
        at = comma + 1;
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes{10000, 100000};
    std::vector<int> budgets{static_cast<int>(emulator::Options{}.objectCacheBytes / (std::size_t{1024} * 1024))};
    int rounds = 5;
    std::string onDisk;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--sizes") == 0) sizes = numbers(argv[i + 1]);
        if (std::strcmp(argv[i], "--cache-mb") == 0) budgets = numbers(argv[i + 1]);
        if (std::strcmp(argv[i], "--on-disk") == 0) onDisk = argv[i + 1];
    }
    DeviceContext::shared().setStore(std::make_shared<MemoryKeyValueStore>());
    std::printf("%9s %9s %9s %12s %12s %12s %12s %10s %10s %10s %10s %11s\n", "objects", "cache MiB", "load ms",
                "find ms", "count ms", "near ms", "near 12km ms", "RSS MiB", "after MiB", "1st find", "1st 12km",
                "load idx ms");
    int status = 0;
    for (const int size : sizes) {
        for (const int budget : budgets) {
            const auto loadStart = Clock::now();
            const std::string dataDir = onDisk.empty()
                                            ? std::string()
                                            : onDisk + "/bench-" + std::to_string(size) + "-" + std::to_string(budget);
            if (!dataDir.empty()) std::filesystem::remove_all(dataDir);
            const Child child = startEmulator(size, static_cast<std::size_t>(std::max(budget, 0)), dataDir);
            if (child.port == 0) {
                std::fprintf(stderr, "the emulator did not start\n");
                stopEmulator(child);
                return 1;
            }
            const double loadMs = millisSince(loadStart);
            const double loadedRss = residentMiB(child.pid);
            const auto host = "127.0.0.1:" + std::to_string(child.port);
            Vorn::registerWithAppKey(
                "bench-key",
                VornConfiguration{.bundleIdentifier = "com.vorn.bench", .apiHost = host, .fallbackHost = host});

            const std::vector<std::pair<const char*, std::function<std::pair<double, long>()>>> measures{
                {"find", [] { return timedFind(constrained()); }},
                {"count", [] { return timedCount(constrained()); }},
                {"near",
                 [] {
                auto query = VornQuery::queryWithClassName("Item");
                query->whereKeyNearGeoPoint("place", VornGeoPoint(13.4, 52.5));
                query->setLimit(100);
                return timedFind(query);
                 }},
                {"near 12 km", [] {
                     auto query = VornQuery::queryWithClassName("Item");
                     query->whereKeyNearGeoPointWithinKilometers("place", VornGeoPoint(13.4, 52.5), 12);
                     query->setLimit(100);
                     return timedFind(query);
                 }}};
            std::vector<double> medians;
            std::vector<double> firsts;
            for (const auto& [name, measure] : measures) {
                std::vector<double> times;
                long answered = 0;
                double first = -1;                               // the first, untimed round
                for (int round = 0; round <= rounds; ++round) {  // round 0 warms up
                    const auto [ms, found] = measure();
                    if (ms < 0 || found < 0) {
                        std::fprintf(stderr, "%s failed at %d objects\n", name, size);
                        status = 1;
                        break;
                    }
                    answered = found;
                    if (round > 0) times.push_back(ms);
                    if (round == 0) first = ms;
                }
                medians.push_back(times.empty() ? -1 : median(times));
                firsts.push_back(first);
                std::fprintf(stderr, "  %d objects, %s: %ld answered\n", size, name, answered);
            }
            const double afterRss = residentMiB(child.pid);
            stopEmulator(child);
            const double indexedLoadMs = timedIndexedLoad(size);
            std::printf("%9d %9d %9.0f %12.2f %12.2f %12.2f %12.2f %10.1f %10.1f %10.1f %10.1f %11.0f\n", size, budget,
                        loadMs, medians[0], medians[1], medians[2], medians[3], loadedRss, afterRss, firsts[0],
                        firsts[3], indexedLoadMs);
            std::fflush(stdout);
            if (!dataDir.empty()) std::filesystem::remove_all(dataDir);
        }
    }
    std::printf("medians of %d rounds, through the library against an emulator process\n", rounds);
    return status;
}
