// The emulator's HTTP server over real loopback connections.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "EmulatorTestUtil.h"
#include "vorn_emulator/DateText.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/ServiceError.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::emutest {
namespace {

class EmulatorServerTest : public ::testing::Test {
protected:
    // Starts a memory server; `setup` registers extra routes before start.
    void startServer(Options options = memoryOptions(), const std::function<void(Router&)>& setup = {}) {
        server_ = std::make_unique<Server>(std::move(options));
        if (setup) setup(server_->router());
        port_ = server_->start();
    }

    std::unique_ptr<Server> server_;
    unsigned short port_ = 0;
};

void addEcho(Router& router) {
    router.addEnvelope("/7/echo", [](RequestContext& context) { return context.data(); });
}

TEST_F(EmulatorServerTest, TimestampRepliesWithLocalTextAndMillis) {
    startServer();
    TestHttpClient client(port_);
    const auto before = epochMillis(Clock::now());
    const Reply reply = client.postEnvelope("/7/timestamp");
    const auto after = epochMillis(Clock::now());

    EXPECT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.contentType, "application/json");
    EXPECT_TRUE(reply.keepAlive);
    EXPECT_EQ(reply.body.rfind(R"({"result":{"code":200,"message":"ok"},"data":)", 0), 0u) << reply.body;
    ASSERT_TRUE(reply.data().at("S").is_string());
    ASSERT_TRUE(reply.data().at("ms").is_number_integer());
    const auto ms = reply.data().at("ms").get<std::int64_t>();
    EXPECT_GE(ms, before);
    EXPECT_LE(ms, after);
    const auto parsed = parseDateText(reply.data().at("S").get<std::string>());
    ASSERT_TRUE(parsed) << reply.data().at("S");
    // "S" is the same instant as "ms", cut to whole seconds.
    EXPECT_EQ(epochMillis(*parsed), ms - ms % 1000);
}

TEST_F(EmulatorServerTest, PortZeroBindsAFreePort) {
    startServer();
    EXPECT_NE(port_, 0);
    EXPECT_EQ(server_->port(), port_);
    Server second(memoryOptions());
    const unsigned short secondPort = second.start();
    EXPECT_NE(secondPort, 0);
    EXPECT_NE(secondPort, port_);
    EXPECT_EQ(TestHttpClient(secondPort).postEnvelope("/7/timestamp").code(), 200);
}

TEST_F(EmulatorServerTest, BindingABusyPortFails) {
    startServer();
    Options options = memoryOptions();
    options.port = port_;
    Server other(options);
    EXPECT_THROW(other.start(), std::runtime_error);
}

TEST_F(EmulatorServerTest, AppKeyIsChecked) {
    Options options = memoryOptions();
    options.appKey = "secret";
    startServer(options);
    TestHttpClient client(port_);
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 103);
    EXPECT_EQ(client.postEnvelope("/7/timestamp", nullptr, {{"X-Vorn-App-Key", "other"}}).code(), 103);
    EXPECT_EQ(client.postEnvelope("/7/timestamp", nullptr, {{"X-Vorn-App-Key", "secret"}}).code(), 200);
    // Header names are case-insensitive.
    EXPECT_EQ(client.postEnvelope("/7/timestamp", nullptr, {{"x-vorn-app-key", "secret"}}).code(), 200);
    const Reply rejected = client.postEnvelope("/7/timestamp", nullptr, {{"X-Vorn-App-Key", "Secret"}});
    EXPECT_EQ(rejected.status, 200u);
    EXPECT_TRUE(rejected.data().is_null());
    EXPECT_FALSE(rejected.message().empty());
}

TEST_F(EmulatorServerTest, AnyAppKeyWhenNoneIsConfigured) {
    startServer();
    TestHttpClient client(port_);
    EXPECT_EQ(client.postEnvelope("/7/timestamp", nullptr, {{"X-Vorn-App-Key", "whatever"}}).code(), 200);
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 200);
}

TEST_F(EmulatorServerTest, BadBodiesGet102AndTheConnectionStaysUsable) {
    startServer();
    TestHttpClient client(port_);
    for (const std::string body : {"{not json", "[1, 2]", "", "\"text\"", "null", "42", "{\"a\": 1", "\xff\xfe"}) {
        const Reply reply = client.post("/7/timestamp", body);
        EXPECT_EQ(reply.status, 200u) << body;
        EXPECT_EQ(reply.code(), 102) << body;
        EXPECT_TRUE(reply.data().is_null()) << body;
        EXPECT_TRUE(reply.keepAlive) << body;
        // The same connection answers the next request.
        EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 200) << body;
    }
}

TEST_F(EmulatorServerTest, UnknownPaths) {
    startServer();
    TestHttpClient client(port_);
    const Reply post = client.postEnvelope("/7/nothing-here");
    EXPECT_EQ(post.status, 200u);
    EXPECT_EQ(post.code(), 100);
    EXPECT_NE(post.message().find("/7/nothing-here"), std::string::npos);

    const Reply get = client.get("/nowhere");
    EXPECT_EQ(get.status, 404u);
    EXPECT_EQ(get.code(), 100);
    EXPECT_TRUE(get.data().is_null());

    // Envelope routes take POST only.
    EXPECT_EQ(client.get("/7/timestamp").status, 404u);
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 200);
}

TEST_F(EmulatorServerTest, HandlerFailuresBecomeServiceErrors) {
    startServer(memoryOptions(), [](Router& router) {
        router.addEnvelope("/7/throws", [](RequestContext&) -> nlohmann::json { throw std::runtime_error("boom"); });
        router.addEnvelope("/7/throws-int", [](RequestContext&) -> nlohmann::json { throw 42; });
        router.addEnvelope("/7/json-error",
                           [](RequestContext& context) -> nlohmann::json { return context.data().at("missing"); });
        router.addEnvelope("/7/service-error", [](RequestContext&) -> nlohmann::json {
            throw ServiceError{101, "no such object"};
        });
        router.addEnvelope("/7/require", [](RequestContext& context) -> nlohmann::json {
            return requireStringField(context.requireObject("data"), "name", "data");
        });
    });
    TestHttpClient client(port_);

    const Reply thrown = client.postEnvelope("/7/throws");
    EXPECT_EQ(thrown.status, 200u);
    EXPECT_EQ(thrown.code(), 1);
    EXPECT_NE(thrown.message().find("boom"), std::string::npos);
    EXPECT_EQ(client.postEnvelope("/7/throws-int").code(), 1);
    EXPECT_EQ(client.postEnvelope("/7/json-error", Json::object()).code(), 1);

    const Reply serviceError = client.postEnvelope("/7/service-error");
    EXPECT_EQ(serviceError.code(), 101);
    EXPECT_EQ(serviceError.message(), "no such object");
    EXPECT_TRUE(serviceError.data().is_null());

    EXPECT_EQ(client.postEnvelope("/7/require").code(), 104);                     // "data" is null
    EXPECT_EQ(client.postEnvelope("/7/require", Json::array()).code(), 105);      // not an object
    EXPECT_EQ(client.postEnvelope("/7/require", Json::object()).code(), 104);     // no "name"
    EXPECT_EQ(client.postEnvelope("/7/require", Json{{"name", 3}}).code(), 105);  // not a string
    const Reply ok = client.postEnvelope("/7/require", Json{{"name", "x"}});
    EXPECT_EQ(ok.code(), 200);
    EXPECT_EQ(ok.data(), "x");

    // After all that the connection still serves.
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 200);
}

TEST_F(EmulatorServerTest, ContextCarriesHeadersQueryAndSessionToken) {
    startServer(memoryOptions(), [](Router& router) {
        router.addEnvelope("/7/whoami", [](RequestContext& context) {
            auto token = context.sessionToken();
            return Json{{"token", token ? Json(std::string(*token)) : Json(nullptr)},
                        {"path", context.path()},
                        {"query", context.query()},
                        {"version", context.member("v")},
                        {"custom", std::string(context.header("x-custom").value_or("-"))}};
        });
    });
    TestHttpClient client(port_);
    const Reply anonymous = client.postEnvelope("/7/whoami");
    EXPECT_TRUE(anonymous.data().at("token").is_null());
    EXPECT_EQ(anonymous.data().at("version"), "v1.4.9");

    const Reply signedIn =
        client.postEnvelope("/7/whoami?x=1", nullptr, {{"x-vorn-session-token", "tok-1"}, {"X-Custom", "yes"}});
    EXPECT_EQ(signedIn.code(), 200);
    EXPECT_EQ(signedIn.data().at("token"), "tok-1");
    EXPECT_EQ(signedIn.data().at("path"), "/7/whoami");
    EXPECT_EQ(signedIn.data().at("query"), "x=1");
    EXPECT_EQ(signedIn.data().at("custom"), "yes");
}

TEST_F(EmulatorServerTest, RawRoutes) {
    Options options = memoryOptions();
    options.appKey = "secret";
    startServer(options, [](Router& router) {
        router.addRaw("POST", "/1/endpoint", [](RequestContext& context) {
            const Json body = Json::parse(context.body());
            return HttpResponse::json(200, Json{{"sum", body.at("a").get<int>() + body.at("b").get<int>()}});
        });
        router.addRawPrefix("GET", "/files/", [](RequestContext& context) {
            HttpResponse response;
            response.contentType = "text/plain";
            response.body = "file " + context.path();
            return response;
        });
        router.addRawPrefix("GET", "/files/deep/", [](RequestContext&) {
            HttpResponse response;
            response.contentType = "text/plain";
            response.body = "deep";
            return response;
        });
        router.addRaw(
            "GET", "/files/exact",
            [](RequestContext&) {
            HttpResponse response;
            response.status = 204;
            return response;
            },
            false);
    });
    TestHttpClient client(port_);

    const Reply sum = client.post("/1/endpoint", R"({"a": 2, "b": 3})", {{"X-Vorn-App-Key", "secret"}});
    EXPECT_EQ(sum.status, 200u);
    EXPECT_EQ(sum.json, (Json{{"sum", 5}}));
    const Reply noKey = client.post("/1/endpoint", R"({"a": 2, "b": 3})");
    EXPECT_EQ(noKey.status, 401u);
    EXPECT_EQ(noKey.code(), 103);
    const Reply broken = client.post("/1/endpoint", "{", {{"X-Vorn-App-Key", "secret"}});
    EXPECT_EQ(broken.status, 500u);
    EXPECT_EQ(broken.code(), 1);

    // Prefix routes do not check the key by default; the longest prefix and
    // exact routes win.
    const Reply file = client.get("/files/a/b.txt?download=1");
    EXPECT_EQ(file.status, 200u);
    EXPECT_EQ(file.contentType, "text/plain");
    EXPECT_EQ(file.body, "file /files/a/b.txt");
    EXPECT_EQ(client.get("/files/deep/x").body, "deep");
    EXPECT_EQ(client.get("/files/exact").status, 204u);
    EXPECT_EQ(client.get("/filesx").status, 404u);
}

TEST_F(EmulatorServerTest, PipelinedRequestsAreAnsweredInOrder) {
    startServer(memoryOptions(), addEcho);
    TestHttpClient client(port_);
    std::string batch;
    for (int i = 0; i < 3; ++i) {
        std::ostringstream out;
        out << makeRequest(http::verb::post, "/7/echo", envelope(i).dump());
        batch += out.str();
    }
    client.sendRaw(batch);
    for (int i = 0; i < 3; ++i) {
        auto reply = client.read();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->data(), i);
    }
}

TEST_F(EmulatorServerTest, ManyConnectionsWithManyRequestsInFlight) {
    startServer(memoryOptions(), addEcho);
    constexpr int kConnections = 16;
    constexpr int kPerConnection = 64;
    std::vector<std::unique_ptr<TestHttpClient>> clients;
    for (int c = 0; c < kConnections; ++c) clients.push_back(std::make_unique<TestHttpClient>(port_));
    // Every request is written before any reply is read.
    for (int c = 0; c < kConnections; ++c) {
        std::string batch;
        for (int i = 0; i < kPerConnection; ++i) {
            std::ostringstream out;
            out << makeRequest(http::verb::post, "/7/echo", envelope(Json{{"c", c}, {"i", i}}).dump());
            batch += out.str();
        }
        clients[c]->sendRaw(batch);
    }
    for (int c = 0; c < kConnections; ++c) {
        for (int i = 0; i < kPerConnection; ++i) {
            auto reply = clients[c]->read();
            ASSERT_TRUE(reply) << c << "/" << i;
            ASSERT_EQ(reply->data(), (Json{{"c", c}, {"i", i}}));
        }
    }
}

TEST_F(EmulatorServerTest, ExpectContinueGetsAnInterimResponse) {
    startServer(memoryOptions(), addEcho);
    TestHttpClient client(port_);
    const std::string body = envelope("after continue").dump();
    auto request = makeRequest(http::verb::post, "/7/echo", body, {{"Expect", "100-continue"}});
    client.sendRaw(request.head());
    EXPECT_EQ(client.readInterimStatus(), 100u);
    client.sendRaw(body);
    auto reply = client.read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->data(), "after continue");
}

TEST_F(EmulatorServerTest, LargeBodiesUpToTheLimit) {
    Options options = memoryOptions();
    options.bodyLimit = 64 * 1024;
    startServer(options, addEcho);

    TestHttpClient client(port_);
    const std::string fits(60 * 1024, 'x');
    const Reply accepted = client.postEnvelope("/7/echo", fits);
    EXPECT_EQ(accepted.code(), 200);
    EXPECT_EQ(accepted.data(), fits);

    // Over the limit: an error reply, then the connection is closed.
    const Reply refused = client.postEnvelope("/7/echo", std::string(100 * 1024, 'y'));
    EXPECT_EQ(refused.status, 413u);
    EXPECT_EQ(refused.code(), 108);
    EXPECT_FALSE(refused.keepAlive);
    EXPECT_TRUE(client.closedByServer());

    // A new connection is served normally.
    EXPECT_EQ(TestHttpClient(port_).postEnvelope("/7/timestamp").code(), 200);
}

TEST_F(EmulatorServerTest, DefaultLimitTakesMegabytes) {
    startServer(memoryOptions(), addEcho);
    TestHttpClient client(port_);
    const std::string big(8 * 1024 * 1024, 'z');
    const Reply reply = client.postEnvelope("/7/echo", big);
    EXPECT_EQ(reply.code(), 200);
    EXPECT_EQ(reply.data().get<std::string>().size(), big.size());
}

TEST_F(EmulatorServerTest, MalformedHttpGetsAnErrorAndClose) {
    startServer();
    TestHttpClient client(port_);
    client.sendRaw("THIS IS NOT HTTP\r\n\r\n");
    auto reply = client.read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 400u);
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(TestHttpClient(port_).postEnvelope("/7/timestamp").code(), 200);
}

TEST_F(EmulatorServerTest, ConnectionCloseIsHonoured) {
    startServer();
    TestHttpClient client(port_);
    auto request = makeRequest(http::verb::post, "/7/timestamp", envelope().dump());
    request.keepAlive = false;
    const Reply reply = client.roundTrip(request);
    EXPECT_EQ(reply.code(), 200);
    EXPECT_FALSE(reply.keepAlive);
    EXPECT_TRUE(client.closedByServer());
}

TEST_F(EmulatorServerTest, StopIsIdempotentAndFinal) {
    startServer();
    server_->stop();
    EXPECT_FALSE(server_->running());
    server_->stop();
    EXPECT_THROW(server_->start(), std::logic_error);
    server_.reset();  // the destructor stops once more

    Server neverStarted(memoryOptions());
    neverStarted.stop();
    neverStarted.stop();
}

TEST_F(EmulatorServerTest, StopClosesOpenConnectionsPromptly) {
    startServer();
    TestHttpClient idle(port_);
    EXPECT_EQ(idle.postEnvelope("/7/timestamp").code(), 200);
    TestHttpClient silent(port_);  // connected, never sent anything

    auto stopped = std::async(std::launch::async, [&] { server_->stop(); });
    ASSERT_EQ(stopped.wait_for(kDeadline), std::future_status::ready);
    EXPECT_TRUE(idle.closedByServer());
    EXPECT_TRUE(silent.closedByServer());
    EXPECT_THROW(TestHttpClient{port_}, std::runtime_error);  // nobody listens any more
}

TEST_F(EmulatorServerTest, RunServesOnTheCallingThreadUntilStopped) {
    Server server(memoryOptions());
    std::promise<unsigned short> listening;
    auto ran =
        std::async(std::launch::async, [&] { server.run([&](unsigned short port) { listening.set_value(port); }); });
    auto portFuture = listening.get_future();
    ASSERT_EQ(portFuture.wait_for(kDeadline), std::future_status::ready);
    const unsigned short port = portFuture.get();
    EXPECT_EQ(server.port(), port);
    EXPECT_EQ(TestHttpClient(port).postEnvelope("/7/timestamp").code(), 200);

    server.stop();
    ASSERT_EQ(ran.wait_for(kDeadline), std::future_status::ready);
    ran.get();
    server.stop();
}

TEST_F(EmulatorServerTest, StopFromAHandler) {
    Server* self = nullptr;
    startServer(memoryOptions(), [&](Router& router) {
        router.addEnvelope("/7/shutdown", [&self](RequestContext&) {
            self->stop();
            return Json("bye");
        });
    });
    self = server_.get();
    TestHttpClient client(port_);
    client.send(makeRequest(http::verb::post, "/7/shutdown", envelope().dump()));
    // The reply may or may not make it out; the server must end either way.
    try {
        client.read();
    } catch (const std::runtime_error&) {}
    EXPECT_FALSE(server_->running());
    server_.reset();
}

TEST_F(EmulatorServerTest, CallRunsOnTheServerThread) {
    startServer();
    const auto serverThread = server_->call([] { return std::this_thread::get_id(); });
    EXPECT_NE(serverThread, std::this_thread::get_id());
    const int version = server_->call([&] { return server_->storage().schemaVersion(); });
    EXPECT_EQ(version, static_cast<int>(builtinMigrations().size()));
    EXPECT_THROW(server_->call([]() -> int { throw std::runtime_error("inside"); }), std::runtime_error);
    server_->stop();
    // After stop it runs right here.
    EXPECT_EQ(server_->call([] { return std::this_thread::get_id(); }), std::this_thread::get_id());
}

TEST_F(EmulatorServerTest, OnlyLoopbackAddresses) {
    Options options = memoryOptions();
    for (const std::string address : {"10.1.2.3", "0.0.0.0", "192.168.1.1", "example.com", ""}) {
        options.address = address;
        EXPECT_THROW(Server{options}, std::invalid_argument) << address;
    }
    for (const std::string address : {"127.0.0.1", "127.0.0.2", "localhost", "::1"}) {
        options.address = address;
        EXPECT_NO_THROW(Server{options}) << address;
    }
}

TEST_F(EmulatorServerTest, DataPersistsAcrossServers) {
    TempDir dir;
    Options options;
    options.port = 0;
    options.dataDir = (dir.path() / "data").string();
    {
        Server server(options);
        server.start();
        server.call([&] {
            server.storage().execute(
                "INSERT INTO objects (class_name, object_id, data, created_at, updated_at) VALUES (?, ?, ?, ?, ?)",
                {"Note", "n1", R"({"text":"kept"})", "2024-01-01 00:00:00", "2024-01-01 00:00:00"});
        });
    }
    Server reopened(options);
    auto row =
        reopened.storage().queryOne("SELECT data FROM objects WHERE class_name = ? AND object_id = ?", {"Note", "n1"});
    ASSERT_TRUE(row);
    EXPECT_EQ(row->at(0).asText(), R"({"text":"kept"})");
}

TEST_F(EmulatorServerTest, MemoryModeWritesNothing) {
    TempDir dir;
    Options options = memoryOptions();
    options.dataDir = (dir.path() / "data").string();
    {
        Server server(options);
        const unsigned short port = server.start();
        EXPECT_EQ(TestHttpClient(port).postEnvelope("/7/timestamp").code(), 200);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "data"));
}

}  // namespace
}  // namespace vorn::emulator::emutest
