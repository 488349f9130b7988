// Upload throughput and client memory for a 10 MiB file against the
// emulator on loopback: the library's whole upload ("files"), its sharded
// upload ("mkfile", pieces of 256 KiB), and as the baseline the same bytes
// base64-encoded into a JSON body by hand with nlohmann-json and POSTed
// with libcurl. Each client runs in a process of its own so that its peak
// resident memory is its own; the emulator runs in another.
//
//   bench_files [--rounds R] [--mib N]
#include "vorn/core/DeviceContext.h"
#include "vorn/core/KeyValueStore.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/vBase64.h"
#include "vorn/files/VornFile.h"
#include "vorn/service/Vorn.h"

#include <vorn_emulator/Server.h>

#include <curl/curl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace vorn;

namespace {

struct Figures {
    double medianMBps = 0;
    double idleRssMiB = 0;
    double peakRssMiB = 0;
    bool ok = false;
};

double maxRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

Bytes fileBytes(std::size_t size) {
    Bytes bytes(size);
    std::uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

/// Runs `upload` `rounds` times in a child process; each call uploads once
/// and returns whether it succeeded.
Figures measure(const std::function<bool(Bytes&)>& upload, std::size_t size, int rounds) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        Figures figures;
        figures.idleRssMiB = maxRssMiB();
        Bytes bytes = fileBytes(size);
        std::vector<double> rates;
        figures.ok = true;
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            if (!upload(bytes)) {
                figures.ok = false;
                break;
            }
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            rates.push_back(size / 1048576.0 / seconds);
        }
        std::sort(rates.begin(), rates.end());
        if (!rates.empty()) figures.medianMBps = rates[rates.size() / 2];
        figures.peakRssMiB = maxRssMiB();
        (void)!write(fds[1], &figures, sizeof figures);
        _exit(0);
    }
    close(fds[1]);
    Figures figures;
    if (read(fds[0], &figures, sizeof figures) != sizeof figures) figures.ok = false;
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return figures;
}

void useEmulator(const std::string& host) {
    DeviceContext::shared().setStore(std::make_shared<MemoryKeyValueStore>());
    Vorn::registerWithAppKey(
        "bench-key",
        VornConfiguration{
            .bundleIdentifier = "com.vorn.bench", .apiHost = host, .fallbackHost = host, .fileHost = host});
}

/// The file takes the bytes over (no second copy) and is uploaded again each round.
bool libraryUpload(Bytes& bytes, bool sharded) {
    static std::shared_ptr<VornFile> file;
    if (!file) file = VornFile::initWithFileName("bench.bin", std::move(bytes));
    bool done = false;
    bool succeeded = false;
    auto block = [&](bool ok, const OptionalError&) {
        done = true;
        succeeded = ok;
    };
    if (sharded) {
        file->saveInBackgroundByDataSharding(block);
    } else {
        file->saveInBackground(block);
    }
    MainLoop::shared().runUntil([&] { return done; }, std::chrono::seconds(120));
    return succeeded;
}

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

bool handMadeUpload(const Bytes& bytes, const std::string& host) {
    nlohmann::json envelope{
        {"c", "FILE"},
        {"v", "v1.4.9"},
        {"objectId", nullptr},
        {"data", {{"file", vBase64::stringByEncodingData(bytes).value()}, {"filename", "bench.bin"}}}};
    const std::string body = envelope.dump(2);
    CURL* easy = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "X-Vorn-App-Key: bench-key");
    headers = curl_slist_append(headers, "Expect:");
    const std::string url = "http://" + host + "/7/files";
    std::string reply;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
    const CURLcode result = curl_easy_perform(easy);
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    const auto parsed = nlohmann::json::parse(reply, nullptr, false);
    return result == CURLE_OK && parsed.is_object() && parsed["result"]["code"] == 200;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    std::size_t mib = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--mib") == 0) mib = static_cast<std::size_t>(std::atoi(argv[i + 1]));
    }
    const std::size_t size = std::min<std::size_t>(mib * 1048576, VornFile::kMaxFileSize);

    // The emulator, in a process of its own; it writes its port to the pipe.
    int fds[2];
    if (pipe(fds) != 0) return 1;
    const pid_t emulatorPid = fork();
    if (emulatorPid == 0) {
        close(fds[0]);
        emulator::Options options;
        options.port = 0;
        options.memory = true;
        emulator::Server server(options);
        server.run([&](unsigned short port) {
            (void)!write(fds[1], &port, sizeof port);
            close(fds[1]);
        });
        _exit(0);
    }
    close(fds[1]);
    unsigned short port = 0;
    if (read(fds[0], &port, sizeof port) != sizeof port) return 1;
    close(fds[0]);
    const std::string host = "127.0.0.1:" + std::to_string(port);

    struct Row {
        const char* name;
        std::function<bool(Bytes&)> upload;
    };
    const std::vector<Row> rows{
        {"baseline: JSON body by hand + libcurl", [&](Bytes& b) { return handMadeUpload(b, host); }},
        {"VornFile saveInBackground (whole)",
         [&](Bytes& b) {
        useEmulator(host);
        return libraryUpload(b, false);
         }},
        {"VornFile saveInBackgroundByDataSharding",
         [&](Bytes& b) {
        useEmulator(host);
        return libraryUpload(b, true);
         }},
        };
    std::printf("%zu bytes (%.1f MiB), %d rounds each, medians\n", size, size / 1048576.0, rounds);
    std::printf("%-42s %10s %14s %16s\n", "", "MiB/s", "peak RSS MiB", "(peak-idle)/file");
    double baseline = 0;
    int status = 0;
    for (const auto& row : rows) {
        const auto figures = measure(row.upload, size, rounds);
        if (!figures.ok) {
            std::printf("%-42s failed\n", row.name);
            status = 1;
            continue;
        }
        if (baseline == 0) baseline = figures.medianMBps;
        std::printf("%-42s %10.1f %14.1f %15.2fx   (%.2fx the baseline's speed)\n", row.name, figures.medianMBps,
                    figures.peakRssMiB, (figures.peakRssMiB - figures.idleRssMiB) / (size / 1048576.0),
                    figures.medianMBps / baseline);
    }
    kill(emulatorPid, SIGTERM);
    waitpid(emulatorPid, nullptr, 0);
    return status;
}
