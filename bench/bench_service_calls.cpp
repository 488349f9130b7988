// How many service calls per second the library sustains against the
// emulator on loopback, beside plain libcurl sending the same requests.
//
// Asynchronous: rounds of `--calls` calls with a fixed number in flight (1,
// 16 and 1,000): that many are sent at once and each finished call sends the
// next, each round timed from the first send to the last handler. The
// baseline is a libcurl multi handle on this thread posting the same bodies
// with the same headers, the same limit of connections per host and the
// same number in flight. A second baseline drives the same exchanges
// through curl's socket interface (curl_multi_socket_action on each ready
// socket, waited on with epoll), which is how the library's transport
// drives curl inside the main loop: it tells the cost of that interface
// apart from the library's own. Both "timestamp" and "create" calls.
//
// Blocking: `Vorn::getServerTimestamp()` one after another, beside one
// libcurl easy handle reused for the same request.
//
// TLS: the library's timestamp calls (1 and 16 in flight) to a second
// in-process emulator serving https with a self-signed certificate, beside
// the same calls over http, rounds alternating (not with --host).
//
//   bench_service_calls [--calls N] [--rounds R] [--host HOST:PORT] [--profile CALL/N]
//
// --profile runs only the library's rounds of one row ("timestamp/16",
// "create/1", "blocking/1"), for a profiler to see the library alone, or
// only its curl socket baseline ("curl-socket:timestamp/16").
//
// Without --host the emulator runs in this process (its own thread).
#include "vorn/core/DeviceContext.h"
#include "vorn/core/KeyValueStore.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/net/HttpTransport.h"
#include "vorn/service/Vorn.h"
#include "vorn/service/VornService.h"

#include "BenchMedian.h"

#include <vorn_emulator/Server.h>
#include <vorn_emulator/Tls.h>

#include <curl/curl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace vorn;
using Clock = std::chrono::steady_clock;

namespace {

using vorn::bench::median;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

VornServiceCall timestampCall() {
    VornServiceCall call;
    call.path = "timestamp";
    call.c = nullptr;
    call.objectId = nullptr;
    call.data = nullptr;
    return call;
}

VornServiceCall createCall() {
    VornServiceCall call;
    call.path = "create";
    call.c = "BenchItem";
    call.objectId = nullptr;
    call.data = nlohmann::json{{"score", 1337}, {"label", "bench item"}};
    return call;
}

/// Calls per second of one round through the library: `calls` calls,
/// `inFlight` at a time; 0 when a call failed or the round did not end.
double libraryRound(const VornServiceCall& call, int calls, int inFlight) {
    int sent = 0, done = 0, failed = 0;
    std::function<void()> sendOne = [&] {
        ++sent;
        VornService::send(call, [&](const VornServiceReply& reply) {
            ++done;
            if (!reply.succeeded()) ++failed;
            if (sent < calls) sendOne();
        });
    };
    const auto start = Clock::now();
    for (int i = 0; i < std::min(calls, inFlight); ++i) sendOne();
    if (!MainLoop::shared().runUntil([&] { return done == calls; }, std::chrono::seconds(120)) || failed > 0) {
        std::fprintf(stderr, "library: %d of %d calls finished, %d failed\n", done, calls, failed);
        return 0;
    }
    return calls / secondsSince(start);
}

size_t keepBody(char* data, size_t size, size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

/// The request every baseline sends: the library's URL, body and headers,
/// with the transport's options.
struct RawRequest {
    std::string url;
    std::string body;
    curl_slist* headers = nullptr;

    explicit RawRequest(const VornServiceCall& call)
        : url(VornService::urlFor(call.base, call.path)), body(VornService::bodyText(call.envelope())) {
        headers = curl_slist_append(headers, ("X-Vorn-App-Key: " + v_VornUtils::appKey().value_or("")).c_str());
        headers = curl_slist_append(headers, "Content-Type: application/json");
        headers = curl_slist_append(headers, "Expect:");
    }
    ~RawRequest() { curl_slist_free_all(headers); }
    RawRequest(const RawRequest&) = delete;
    RawRequest& operator=(const RawRequest&) = delete;

    void configure(CURL* easy, std::string* reply) const {
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &keepBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, reply);
    }
};

/// Whether a reply is the service's success.
bool succeeded(const std::string& reply) {
    return VornServiceReply::parse(reply).succeeded();
}

/// One easy handle of a baseline and the reply it reads.
struct CurlSlot {
    CURL* easy;
    std::string reply;
};

/// Takes a finished exchange off `multi`: its slot and whether the call succeeded.
std::pair<CurlSlot*, bool> takeFinished(CURLM* multi, const CURLMsg& message) {
    CURL* easy = message.easy_handle;
    CurlSlot* slot = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &slot);
    curl_multi_remove_handle(multi, easy);
    return {slot, message.data.result == CURLE_OK && succeeded(slot->reply)};
}

/// Calls per second of a round that began at `begin`, or 0 (said on stderr) when calls failed.
double roundRate(const char* baseline, int calls, int failed, Clock::time_point begin) {
    if (failed > 0) {
        std::fprintf(stderr, "%s: %d of %d calls failed\n", baseline, failed, calls);
        return 0;
    }
    return calls / secondsSince(begin);
}

/// A libcurl multi handle kept across rounds, so that its connections
/// stay alive as the library's do.
class RawMulti {
public:
    RawMulti() {
        multi_ = curl_multi_init();
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, HttpTransport::kMaxConnectionsPerHost);
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, HttpTransport::kMaxConnectionsPerHost * 4);
    }
    ~RawMulti() {
        for (auto& slot : slots_) curl_easy_cleanup(slot.easy);
        curl_multi_cleanup(multi_);
    }
    RawMulti(const RawMulti&) = delete;
    RawMulti& operator=(const RawMulti&) = delete;

    /// Calls per second of one round, as `libraryRound`.
    double round(const RawRequest& request, int calls, int inFlight) {
        while (static_cast<int>(slots_.size()) < inFlight) slots_.push_back(CurlSlot{curl_easy_init(), {}});
        int sent = 0, done = 0, failed = 0;
        auto start = [&](CurlSlot& slot) {
            slot.reply.clear();
            request.configure(slot.easy, &slot.reply);
            curl_easy_setopt(slot.easy, CURLOPT_PRIVATE, &slot);
            curl_multi_add_handle(multi_, slot.easy);
            ++sent;
        };
        const auto begin = Clock::now();
        for (int i = 0; i < std::min(calls, inFlight); ++i) start(slots_[static_cast<std::size_t>(i)]);
        while (done < calls) {
            int running = 0;
            curl_multi_perform(multi_, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
                if (message->msg != CURLMSG_DONE) continue;
                const auto [slot, ok] = takeFinished(multi_, *message);
                ++done;
                if (!ok) ++failed;
                if (sent < calls) start(*slot);
            }
            if (done < calls) curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
        return roundRate("curl multi", calls, failed, begin);
    }

private:
    CURLM* multi_ = nullptr;
    std::vector<CurlSlot> slots_;  // never shrinks: slots are referred to by address while a round runs
};

/// The same exchanges through curl's socket interface, the one an event
/// loop that other work shares must use (as the library's transport does):
/// curl names the sockets to watch and a timer, this thread waits on them
/// with epoll and hands each ready socket to curl_multi_socket_action.
class RawSocketMulti {
public:
    RawSocketMulti() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {
        multi_ = curl_multi_init();
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, HttpTransport::kMaxConnectionsPerHost);
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, HttpTransport::kMaxConnectionsPerHost * 4);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &RawSocketMulti::onSocket);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &RawSocketMulti::onTimer);
        curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    }
    ~RawSocketMulti() {
        for (auto& slot : slots_) curl_easy_cleanup(slot.easy);
        curl_multi_cleanup(multi_);
        close(epoll_);
    }
    RawSocketMulti(const RawSocketMulti&) = delete;
    RawSocketMulti& operator=(const RawSocketMulti&) = delete;

    /// Calls per second of one round, as `libraryRound`.
    double round(const RawRequest& request, int calls, int inFlight) {
        while (static_cast<int>(slots_.size()) < inFlight) slots_.push_back(CurlSlot{curl_easy_init(), {}});
        request_ = &request;
        calls_ = calls;
        sent_ = done_ = failed_ = 0;
        const auto begin = Clock::now();
        for (int i = 0; i < std::min(calls, inFlight); ++i) start(slots_[static_cast<std::size_t>(i)]);
        while (done_ < calls) {
            if (timeoutMs_ == 0) {
                timeoutMs_ = -1;
                act(CURL_SOCKET_TIMEOUT, 0);
                continue;
            }
            epoll_event events[64];
            const int ready = epoll_wait(epoll_, events, 64, timeoutMs_ < 0 ? 1000 : static_cast<int>(timeoutMs_));
            if (ready <= 0) act(CURL_SOCKET_TIMEOUT, 0);
            for (int i = 0; i < ready; ++i) {
                const int what = ((events[i].events & EPOLLIN) != 0 ? CURL_CSELECT_IN : 0) |
                                 ((events[i].events & EPOLLOUT) != 0 ? CURL_CSELECT_OUT : 0) |
                                 ((events[i].events & (EPOLLERR | EPOLLHUP)) != 0 ? CURL_CSELECT_ERR : 0);
                act(events[i].data.fd, what);
            }
        }
        return roundRate("curl socket interface", calls, failed_, begin);
    }

private:
    void start(CurlSlot& slot) {
        slot.reply.clear();
        request_->configure(slot.easy, &slot.reply);
        curl_easy_setopt(slot.easy, CURLOPT_PRIVATE, &slot);
        curl_multi_add_handle(multi_, slot.easy);
        ++sent_;
    }

    void act(curl_socket_t socket, int what) {
        int running = 0;
        curl_multi_socket_action(multi_, socket, what, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            const auto [slot, ok] = takeFinished(multi_, *message);
            ++done_;
            if (!ok) ++failed_;
            if (sent_ < calls_) start(*slot);
        }
    }

    static int onSocket(CURL* /*easy*/, curl_socket_t socket, int what, void* self, void* known) {
        auto& multi = *static_cast<RawSocketMulti*>(self);
        if (what == CURL_POLL_REMOVE) {
            epoll_ctl(multi.epoll_, EPOLL_CTL_DEL, socket, nullptr);
            curl_multi_assign(multi.multi_, socket, nullptr);
            return 0;
        }
        epoll_event event{};
        event.events = ((what & CURL_POLL_IN) != 0 ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) != 0 ? EPOLLOUT : 0u);
        event.data.fd = socket;
        if (known == nullptr) {
            epoll_ctl(multi.epoll_, EPOLL_CTL_ADD, socket, &event);
            curl_multi_assign(multi.multi_, socket, &multi);
        } else {
            epoll_ctl(multi.epoll_, EPOLL_CTL_MOD, socket, &event);
        }
        return 0;
    }

    static int onTimer(CURLM* /*multi*/, long ms, void* self) {
        static_cast<RawSocketMulti*>(self)->timeoutMs_ = ms;
        return 0;
    }

    int epoll_;
    CURLM* multi_ = nullptr;
    long timeoutMs_ = -1;
    const RawRequest* request_ = nullptr;
    int calls_ = 0, sent_ = 0, done_ = 0, failed_ = 0;
    std::vector<CurlSlot> slots_;  // never shrinks: slots are referred to by address while a round runs
};

/// Calls per second of `calls` blocking timestamp calls through the library.
double libraryBlocking(int calls) {
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        if (Vorn::getServerTimestamp().empty()) {
            std::fprintf(stderr, "getServerTimestamp failed\n");
            return 0;
        }
    }
    return calls / secondsSince(start);
}

/// The same with one libcurl easy handle reused.
double rawBlocking(CURL* easy, const RawRequest& request, int calls) {
    std::string reply;
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        reply.clear();
        request.configure(easy, &reply);
        if (curl_easy_perform(easy) != CURLE_OK || !succeeded(reply)) {
            std::fprintf(stderr, "curl easy failed\n");
            return 0;
        }
    }
    return calls / secondsSince(start);
}

/// The library's timestamp calls over https beside the same over http: the
/// device's hosts switch between two emulators from round to round.
bool compareTls(int calls, int rounds) {
    const auto identity = emulator::makeSelfSignedIdentity(emulator::loopbackNames());
    emulator::Options options;
    options.port = 0;
    options.memory = true;
    options.tls = identity;
    emulator::Server tlsServer(options);
    const std::string secure = "https://127.0.0.1:" + std::to_string(tlsServer.start());
    const auto caFile = std::filesystem::temp_directory_path() / "vorn-bench-ca.pem";
    std::ofstream(caFile) << identity.certificatePem;
    VornConfiguration configuration;
    configuration.caFile = caFile;
    DeviceContext::shared().configure(configuration);
    const ServiceHosts plainHosts = DeviceContext::shared().hosts();
    ServiceHosts tlsHosts = plainHosts;
    tlsHosts.api = tlsHosts.fallback = secure;

    bool ok = true;
    for (int inFlight : {1, 16}) {
        const int roundCalls = inFlight == 1 ? std::max(1, calls / 4) : calls;
        std::vector<double> plain, tls;
        for (int round = 0; round <= rounds; ++round) {
            DeviceContext::shared().setHosts(plainHosts);
            const double a = libraryRound(timestampCall(), roundCalls, inFlight);
            DeviceContext::shared().setHosts(tlsHosts);
            const double b = libraryRound(timestampCall(), roundCalls, inFlight);
            ok = ok && a > 0 && b > 0;
            if (round > 0) plain.push_back(a), tls.push_back(b);
        }
        const double a = median(plain), b = median(tls);
        std::printf("%-10s %9d %14.0f %14.0f %7.2f   (https /s, http /s, https/http)\n", "https", inFlight, b, a,
                    a > 0 ? b / a : 0);
    }
    DeviceContext::shared().setHosts(plainHosts);
    std::error_code ignored;
    std::filesystem::remove(caFile, ignored);
    return ok;
}

/// The library's rounds of one row alone ("timestamp/16"), or those of its
/// curl socket baseline ("curl-socket:timestamp/16"), each rate printed.
int profileRow(const std::string& row, int calls, int rounds) {
    const std::string baselinePrefix = "curl-socket:";
    const bool baseline = row.starts_with(baselinePrefix);
    const std::string call = baseline ? row.substr(baselinePrefix.size()) : row;
    const auto slash = call.find('/');
    const std::string name = call.substr(0, slash);
    const int inFlight = slash == std::string::npos ? 1 : std::atoi(call.c_str() + slash + 1);
    if (inFlight < 1 || (name != "timestamp" && name != "create" && (name != "blocking" || baseline))) {
        std::fprintf(stderr, "--profile takes [curl-socket:]timestamp/N, [curl-socket:]create/N or blocking/1\n");
        return 2;
    }
    const VornServiceCall serviceCall = name == "create" ? createCall() : timestampCall();
    const RawRequest request(serviceCall);
    RawSocketMulti socketMulti;
    for (int round = 0; round <= rounds; ++round) {
        const double rate = baseline             ? socketMulti.round(request, calls, inFlight)
                            : name == "blocking" ? libraryBlocking(std::max(1, calls / 4))
                                                 : libraryRound(serviceCall, calls, inFlight);
        if (rate <= 0) return 1;
        std::printf("%s round %d: %.0f calls/s\n", row.c_str(), round, rate);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int calls = 2000;
    int rounds = 5;
    std::string host;
    std::string profile;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--calls") == 0) calls = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--host") == 0) host = argv[i + 1];
        if (std::strcmp(argv[i], "--profile") == 0) profile = argv[i + 1];
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
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (!profile.empty()) return profileRow(profile, calls, rounds);

    std::printf("%-10s %9s %14s %14s %7s %14s %7s\n", "call", "in flight", "library /s", "curl multi /s", "ratio",
                "curl socket /s", "ratio");
    RawMulti multi;
    RawSocketMulti socketMulti;
    bool ok = true;
    for (const auto& call : {timestampCall(), createCall()}) {
        const RawRequest request(call);
        for (int inFlight : {1, 16, 1000}) {
            // One call in flight is slower per call: fewer calls keep the round short.
            const int roundCalls = inFlight == 1 ? std::max(1, calls / 4) : calls;
            std::vector<double> library, raw, rawSocket;
            for (int round = 0; round <= rounds; ++round) {  // round 0 warms the connections up
                const double a = libraryRound(call, roundCalls, inFlight);
                const double b = multi.round(request, roundCalls, inFlight);
                const double c = socketMulti.round(request, roundCalls, inFlight);
                ok = ok && a > 0 && b > 0 && c > 0;
                if (round > 0) library.push_back(a), raw.push_back(b), rawSocket.push_back(c);
            }
            const double a = median(library), b = median(raw), c = median(rawSocket);
            std::printf("%-10s %9d %14.0f %14.0f %7.2f %14.0f %7.2f\n", call.path.c_str(), inFlight, a, b,
                        b > 0 ? a / b : 0, c, c > 0 ? a / c : 0);
        }
    }

    const RawRequest request(timestampCall());
    CURL* easy = curl_easy_init();
    const int blockingCalls = std::max(1, calls / 4);
    std::vector<double> library, raw;
    for (int round = 0; round <= rounds; ++round) {
        const double a = libraryBlocking(blockingCalls);
        const double b = rawBlocking(easy, request, blockingCalls);
        ok = ok && a > 0 && b > 0;
        if (round > 0) library.push_back(a), raw.push_back(b);
    }
    curl_easy_cleanup(easy);
    const double a = median(library), b = median(raw);
    std::printf("%-10s %9s %14.0f %14.0f %7.2f   (getServerTimestamp beside curl easy)\n", "blocking", "1", a, b,
                b > 0 ? a / b : 0);
    if (server) ok = compareTls(calls, rounds) && ok;
    std::printf("medians of %d rounds; library and curl rounds alternate\n", rounds);
    return ok ? 0 : 1;
}
