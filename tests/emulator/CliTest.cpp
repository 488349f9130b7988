// The vorn-emulator executable as scripts use it: start, read the port from
// the first line, call it, stop it with a signal.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "EmulatorTestUtil.h"
#include "vorn_emulator/Tls.h"

namespace vorn::emulator::emutest {
namespace {

// A child process with its stdout on a pipe.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        args.insert(args.begin(), VORN_EMULATOR_EXE);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            const int devNull = ::open("/dev/null", O_WRONLY);
            if (devNull >= 0) ::dup2(devNull, STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }

    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }

    // Reads stdout up to the next newline; empty when none comes in time.
    std::string readLine() {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (pending_.find('\n') == std::string::npos) {
            if (!readSome(pending_, deadline)) return {};
        }
        const std::size_t end = pending_.find('\n');
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
    }

    // Reads stdout to its end (the process exited or closed it), then reaps the
    // process. Returns the exit status, or -1 when it did not end in time.
    int waitForExit(std::string* rest = nullptr) {
        std::string output = std::move(pending_);
        pending_.clear();
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (readSome(output, deadline)) {}
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        if (rest) *rest = output;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void signal(int sig) { ::kill(pid_, sig); }

private:
    // False at end of file or when the deadline passes.
    bool readSome(std::string& into, std::chrono::steady_clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd fd{out_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) return false;
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;  // read past the last line returned
};

unsigned short portFromLine(const std::string& line) {
    const std::string prefix = "vorn-emulator listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) return 0;
    return static_cast<unsigned short>(std::stoi(line.substr(prefix.size())));
}

TEST(EmulatorCliTest, StartsAnswersAndStopsOnSigterm) {
    Child child({"--port", "0", "--memory", "--no-realtime"});
    const std::string line = child.readLine();
    const unsigned short port = portFromLine(line);
    ASSERT_NE(port, 0) << "first line: " << line;

    const Reply reply =
        TestHttpClient(port).post("/7/timestamp", R"({"client":{},"v":"v1.4.9","c":null,"objectId":null,"data":null})");
    EXPECT_EQ(reply.code(), 200);
    EXPECT_TRUE(reply.data().at("S").is_string());

    child.signal(SIGTERM);
    std::string rest;
    EXPECT_EQ(child.waitForExit(&rest), 0);
    // Then only where the console is.
    EXPECT_EQ(rest, "vorn-emulator console at http://127.0.0.1:" + std::to_string(port) + "/console\n");
}

TEST(EmulatorCliTest, StopsOnSigintWithOpenConnections) {
    Child child({"--port=0", "--memory", "--no-realtime", "--app-key", "k"});
    const unsigned short port = portFromLine(child.readLine());
    ASSERT_NE(port, 0);
    TestHttpClient client(port);
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 103);
    EXPECT_EQ(client.postEnvelope("/7/timestamp", nullptr, {{"X-Vorn-App-Key", "k"}}).code(), 200);
    child.signal(SIGINT);
    EXPECT_EQ(child.waitForExit(), 0);
    EXPECT_TRUE(client.closedByServer());
}

TEST(EmulatorCliTest, KeepsDataInTheDataFolder) {
    TempDir dir;
    Child child({"--port", "0", "--no-realtime", "--data", (dir.path() / "d").string()});
    ASSERT_NE(portFromLine(child.readLine()), 0);
    child.signal(SIGTERM);
    EXPECT_EQ(child.waitForExit(), 0);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() / "d" / "vorn.sqlite3"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "d" / "files"));
}

TEST(EmulatorCliTest, FaultsAndFileOptionsFromTheCommandLine) {
    Child child({"--port", "0", "--memory", "--no-realtime", "--absolute-file-urls", "--upload-session-idle", "30",
                 "--fault", "/7/timestamp=error:137x2", "--fault=/7/files=garbage"});
    const unsigned short port = portFromLine(child.readLine());
    ASSERT_NE(port, 0);
    TestHttpClient client(port);
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 137);
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 137);
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 200);
    const Reply garbage = client.postEnvelope("/7/files", Json{{"file", "YWJj"}, {"filename", "a.txt"}});
    EXPECT_EQ(garbage.status, 200u);
    EXPECT_TRUE(garbage.json.is_discarded()) << garbage.body;
    const Reply stored = client.postEnvelope("/7/files", Json{{"file", "YWJj"}, {"filename", "a.txt"}});
    ASSERT_EQ(stored.code(), 200) << stored.body;
    EXPECT_EQ(
        stored.data().at("url").get<std::string>().rfind("http://127.0.0.1:" + std::to_string(port) + "/files/", 0), 0u)
        << stored.body;
    EXPECT_EQ(client.get("/admin/settings").json.at("uploadSessionIdleMs"), 30000);
    child.signal(SIGTERM);
    EXPECT_EQ(child.waitForExit(), 0);
}

TEST(EmulatorCliTest, HelpListsTheErrorCodes) {
    Child child({"--help"});
    std::string output;
    EXPECT_EQ(child.waitForExit(&output), 0);
    EXPECT_NE(output.find("--app-key"), std::string::npos);
    EXPECT_NE(output.find("103"), std::string::npos);
    EXPECT_NE(output.find("INVALID_APP_KEY"), std::string::npos);
    EXPECT_NE(output.find("--fault PATH=MODE"), std::string::npos);
    EXPECT_NE(output.find("--absolute-file-urls"), std::string::npos);
    EXPECT_NE(output.find("UPLOAD_OFFSET_MISMATCH"), std::string::npos);
    EXPECT_NE(output.find("--read-timeout SECONDS"), std::string::npos);
    EXPECT_NE(output.find("--idle-timeout SECONDS"), std::string::npos);
    EXPECT_NE(output.find("--max-connections N"), std::string::npos);
    EXPECT_NE(output.find("--object-cache-mb N"), std::string::npos);
    EXPECT_NE(output.find("REQUEST_TIMEOUT"), std::string::npos);
}

TEST(EmulatorCliTest, HelpDescribesTheRealtimeHost) {
    Child child({"--help"});
    std::string output;
    EXPECT_EQ(child.waitForExit(&output), 0);
    for (const char* text : {"--realtime-port N", "--no-realtime", "--transports LIST", "--heartbeat-interval SECONDS",
                             "--heartbeat-timeout SECONDS", "--close-timeout SECONDS", "--polling-duration SECONDS",
                             "/socket.io/1/", "xhr-polling", "U+FFFD", "?disconnect", "vorn-emulator realtime on",
                             "/console", "POST /admin/find", "GET /admin/requests"}) {
        EXPECT_NE(output.find(text), std::string::npos) << text;
    }
}

TEST(EmulatorCliTest, RealtimeHostFromTheCommandLine) {
    Child child({"--port", "0", "--memory", "--realtime-port", "0", "--transports", "xhr-polling,websocket",
                 "--heartbeat-timeout", "0.5", "--close-timeout=2", "--heartbeat-interval", "0.2", "--polling-duration",
                 "0.05"});
    const unsigned short port = portFromLine(child.readLine());
    ASSERT_NE(port, 0);
    const std::string line = child.readLine();
    const std::string prefix = "vorn-emulator realtime on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const auto realtimePort = static_cast<unsigned short>(std::stoi(line.substr(prefix.size())));
    ASSERT_NE(realtimePort, 0);
    TestHttpClient client(realtimePort);
    const Reply handshake = client.get("/socket.io/1/?t=1");
    EXPECT_EQ(handshake.status, 200u);
    ASSERT_EQ(handshake.body.size(), 40u + std::string(":0.5:2:xhr-polling,websocket").size()) << handshake.body;
    EXPECT_EQ(handshake.body.substr(40), ":0.5:2:xhr-polling,websocket");
    const std::string poll = "/socket.io/1/xhr-polling/" + handshake.body.substr(0, 40);
    EXPECT_EQ(client.get(poll).body.substr(0, 3), "1::");
    EXPECT_EQ(client.post(poll, "3:::from the command line").body, "1");
    // Heartbeats, noops (every 50 ms) and the echo, in some order.
    bool echoed = false;
    for (int i = 0; i < 100 && !echoed; ++i) {
        const Reply next = client.get(poll);
        ASSERT_EQ(next.status, 200u);
        echoed = next.body.find("3:::from the command line") != std::string::npos;
    }
    EXPECT_TRUE(echoed);
    child.signal(SIGTERM);
    std::string rest;
    EXPECT_EQ(child.waitForExit(&rest), 0);
    EXPECT_EQ(rest, "vorn-emulator console at http://127.0.0.1:" + std::to_string(port) + "/console\n");
}

TEST(EmulatorCliTest, NoRealtimeHostWhenTurnedOff) {
    Child child({"--port", "0", "--memory", "--no-realtime"});
    const unsigned short port = portFromLine(child.readLine());
    ASSERT_NE(port, 0);
    child.signal(SIGTERM);
    std::string rest;
    EXPECT_EQ(child.waitForExit(&rest), 0);
    // No realtime line.
    EXPECT_EQ(rest, "vorn-emulator console at http://127.0.0.1:" + std::to_string(port) + "/console\n");
}

TEST(EmulatorCliTest, ConnectionAndReadLimitsFromTheCommandLine) {
    Child child({"--port", "0", "--memory", "--no-realtime", "--read-timeout", "1", "--idle-timeout=1",
                 "--max-connections", "2"});
    const unsigned short port = portFromLine(child.readLine());
    ASSERT_NE(port, 0);
    TestHttpClient first(port);
    TestHttpClient second(port);
    // Both places are taken: the third connection ends before any reply.
    TestHttpClient third(port);
    third.send(makeRequest(http::verb::post, "/7/timestamp", envelope().dump()));
    EXPECT_FALSE(third.read());
    // The silent ones are closed once the read limit passes.
    EXPECT_TRUE(first.closedByServer());
    EXPECT_TRUE(second.closedByServer());
    EXPECT_EQ(TestHttpClient(port).postEnvelope("/7/timestamp").code(), 200);
    child.signal(SIGTERM);
    EXPECT_EQ(child.waitForExit(), 0);
}

// The line after the listening one: "vorn-emulator tls certificate FILE
// sha256 FINGERPRINT pin PIN".
struct TlsLine {
    std::string file, fingerprint, pin;
};
TlsLine tlsLineOf(const std::string& line) {
    std::istringstream words(line);
    std::string emulator, tls, certificate, sha, pinWord;
    TlsLine parsed;
    words >> emulator >> tls >> certificate >> parsed.file >> sha >> parsed.fingerprint >> pinWord >> parsed.pin;
    if (tls != "tls" || sha != "sha256" || pinWord != "pin") return {};
    return parsed;
}

TEST(EmulatorCliTest, ServesTlsWithACertificateItMakesOrIsGiven) {
    const auto folder = std::filesystem::temp_directory_path() / ("vorn-cli-tls-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::string certificatePem;
    {
        Child child({"--port", "0", "--data", folder.string(), "--no-realtime", "--tls-self-signed"});
        const unsigned short port = portFromLine(child.readLine());
        ASSERT_NE(port, 0);
        const TlsLine line = tlsLineOf(child.readLine());
        EXPECT_EQ(line.file, (folder / "tls" / "localhost.pem").string());
        std::ifstream in(line.file);
        certificatePem.assign(std::istreambuf_iterator<char>(in), {});
        EXPECT_EQ(line.fingerprint, certificateFingerprint(certificatePem));
        EXPECT_EQ(line.pin, publicKeyPin(certificatePem));
        EXPECT_TRUE(std::filesystem::exists(folder / "tls" / "localhost-key.pem"));
        // Plain HTTP gets no HTTP answer from the TLS port.
        TestHttpClient plain(port);
        plain.send(makeRequest(http::verb::post, "/7/timestamp", envelope().dump()));
        EXPECT_FALSE(plain.read());
        child.signal(SIGTERM);
        std::string rest;
        EXPECT_EQ(child.waitForExit(&rest), 0);
        EXPECT_EQ(rest, "vorn-emulator console at https://127.0.0.1:" + std::to_string(port) + "/console\n");
    }
    {
        // The files it wrote, given back; and a key of another certificate is refused.
        Child given({"--port", "0", "--memory", "--no-realtime", "--tls-cert",
                     (folder / "tls" / "localhost.pem").string(), "--tls-key",
                     (folder / "tls" / "localhost-key.pem").string()});
        ASSERT_NE(portFromLine(given.readLine()), 0);
        EXPECT_EQ(tlsLineOf(given.readLine()).fingerprint, certificateFingerprint(certificatePem));
        given.signal(SIGTERM);
        EXPECT_EQ(given.waitForExit(), 0);
        const auto other = makeSelfSignedIdentity({"localhost"});
        std::ofstream(folder / "other-key.pem") << other.privateKeyPem;
        Child mismatched({"--port", "0", "--memory", "--no-realtime", "--tls-cert",
                          (folder / "tls" / "localhost.pem").string(), "--tls-key",
                          (folder / "other-key.pem").string()});
        EXPECT_EQ(mismatched.waitForExit(), 1);
    }
    {
        // In memory: a temporary folder, gone after the exit.
        Child child({"--port", "0", "--memory", "--no-realtime", "--tls-self-signed"});
        ASSERT_NE(portFromLine(child.readLine()), 0);
        const TlsLine line = tlsLineOf(child.readLine());
        EXPECT_TRUE(std::filesystem::exists(line.file)) << line.file;
        child.signal(SIGTERM);
        EXPECT_EQ(child.waitForExit(), 0);
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(line.file).parent_path())) << line.file;
    }
    std::filesystem::remove_all(folder);
}

TEST(EmulatorCliTest, RefusesBadArguments) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--address", "192.168.0.1"},
                                               {"--port", "70000"},
                                               {"--port"},
                                               {"--bogus"},
                                               {"--memory=yes"},
                                               {"--fault", "/7/files"},
                                               {"--fault", "/7/files=explode"},
                                               {"--fault", "/admin/faults=drop"},
                                               {"--fault", "/7/files=delay"},
                                               {"--absolute-file-urls=1"},
                                               {"--upload-session-idle", "ten"},
                                               {"--read-timeout", "0"},
                                               {"--read-timeout", "1.5"},
                                               {"--idle-timeout", "-1"},
                                               {"--idle-timeout"},
                                               {"--max-connections", "0"},
                                               {"--max-connections", "many"},
                                               {"--object-cache-mb", "-1"},
                                               {"--object-cache-mb", "1e3"},
                                               {"--realtime-port", "70000"},
                                               {"--no-realtime=1"},
                                               {"--transports", ""},
                                               {"--transports", "flashsocket"},
                                               {"--transports", "websocket,"},
                                               {"--transports", "websocket,websocket"},
                                               {"--heartbeat-interval", "0"},
                                               {"--heartbeat-timeout", "0.0001"},
                                               {"--close-timeout", "10000"},
                                               {"--polling-duration", "-1"},
                                               {"--polling-duration", "1."},
                                               {"--polling-duration", "ten"},
                                               {"--tls-cert", "server.pem"},
                                               {"--tls-key", "server-key.pem"},
                                               {"--tls-self-signed=1"},
                                               {"--tls-self-signed", "--tls-cert", "a.pem", "--tls-key", "b.pem"}}) {
        Child child(args);
        std::string output;
        EXPECT_EQ(child.waitForExit(&output), 2) << args[0];
        EXPECT_EQ(output, "") << args[0];
    }
}

}  // namespace
}  // namespace vorn::emulator::emutest
