// Fault injection: the forms that set faults (command-line text, admin JSON,
// the C++ API) and what each mode does to a request over a real socket.

#include <gtest/gtest.h>

#include <chrono>

#include "FilesTestUtil.h"
#include "vorn_emulator/Faults.h"

namespace vorn::emulator::emutest {
namespace faults_test {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

TEST(FaultTextTest, CommandLineFormsParse) {
    const Fault drop = Fault::parse("/7/files=drop");
    EXPECT_EQ(drop.path, "/7/files");
    EXPECT_EQ(drop.mode, FaultMode::Drop);
    EXPECT_EQ(drop.count, 1u);

    const Fault after = Fault::parse("/7/mkfile/next=drop-afterx3");
    EXPECT_EQ(after.path, "/7/mkfile/next");
    EXPECT_EQ(after.mode, FaultMode::DropAfter);
    EXPECT_EQ(after.count, 3u);

    const Fault error = Fault::parse("/7/files=error:137x2");
    EXPECT_EQ(error.mode, FaultMode::Error);
    EXPECT_EQ(error.code, 137);
    EXPECT_EQ(error.count, 2u);
    EXPECT_EQ(Fault::parse("/7/files=error").code, 150);

    const Fault delay = Fault::parse("/7/find=delay:250x0");
    EXPECT_EQ(delay.mode, FaultMode::Delay);
    EXPECT_EQ(delay.delay, milliseconds(250));
    EXPECT_EQ(delay.count, 0u);
    EXPECT_EQ(Fault::parse("/7/x=garbage").mode, FaultMode::Garbage);

    for (const char* bad : {"/7/files", "7/files=drop", "/7/files=explode", "/7/files=delay", "/7/files=drop:5",
                            "/7/files=delay:60001", "/7/files=error:abc", "/7/files=errorx", "/admin/outbox=drop",
                            "/7/files?x=1=drop", "=drop", "/7/files=dropx9999999"}) {
        EXPECT_THROW(Fault::parse(bad), std::invalid_argument) << bad;
    }
}

TEST(FaultTextTest, AdminJsonFormRoundTrips) {
    const Fault fault = Fault::fromJson(Json{{"path", "/7/mkfile"}, {"mode", "delay"}, {"count", 4}, {"delayMs", 20}});
    EXPECT_EQ(fault.toJson(),
              (Json{{"path", "/7/mkfile"}, {"mode", "delay"}, {"count", 4}, {"code", 150}, {"delayMs", 20}}));
    EXPECT_EQ(Fault::fromJson(fault.toJson()).toJson(), fault.toJson());
    for (const Json& bad :
         {Json::array(), Json{{"mode", "drop"}}, Json{{"path", "/7/x"}}, Json{{"path", "/7/x"}, {"mode", 1}},
          Json{{"path", "/7/x"}, {"mode", "drop"}, {"count", -1}},
          Json{{"path", "/7/x"}, {"mode", "drop"}, {"count", "2"}},
          Json{{"path", "/7/x"}, {"mode", "error"}, {"code", 0}},
          Json{{"path", "/7/x"}, {"mode", "delay"}, {"delayMs", 1e9}},
          Json{{"path", "/admin/faults"}, {"mode", "drop"}}}) {
        EXPECT_THROW(Fault::fromJson(bad), std::invalid_argument) << bad;
    }
}

TEST(FaultInjectorTest, FaultsApplyInOrderAndRunOut) {
    FaultInjector faults;
    faults.add(Fault{"/7/a", FaultMode::Drop, 2});
    faults.add(Fault{"/7/a", FaultMode::Garbage, 1});
    faults.add(Fault{"/7/b", FaultMode::Error, 0, 137});
    EXPECT_FALSE(faults.take("/7/c"));
    EXPECT_EQ(faults.take("/7/a")->mode, FaultMode::Drop);
    EXPECT_EQ(faults.list().front().count, 1u);
    EXPECT_EQ(faults.take("/7/a")->mode, FaultMode::Drop);
    EXPECT_EQ(faults.take("/7/a")->mode, FaultMode::Garbage);
    EXPECT_FALSE(faults.take("/7/a"));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(faults.take("/7/b")->code, 137);  // count 0: until cleared
    EXPECT_EQ(faults.clear("/7/b"), 1u);
    EXPECT_FALSE(faults.take("/7/b"));
    EXPECT_THROW(faults.add(Fault{"/admin/outbox", FaultMode::Drop, 1}), std::invalid_argument);
    EXPECT_THROW(faults.add(Fault{"/7/a", FaultMode::Delay, 1, 150, milliseconds(-1)}), std::invalid_argument);
}

// ---------------------------------------------------------------- over a socket

class FaultServerTest : public FileEndpointTest {
protected:
    void fault(FaultMode mode, std::string path, std::size_t count = 1, int code = 150, milliseconds delay = {}) {
        server_->faults().add(Fault{std::move(path), mode, count, code, delay});
    }

    HttpRequest uploadRequest(const std::string& name = "f.txt") {
        return makeRequest(http::verb::post, "/7/files",
                           envelope(Json{{"file", base64("fault")}, {"filename", name}}).dump());
    }
};

TEST_F(FaultServerTest, DropClosesBeforeHandling) {
    fault(FaultMode::Drop, "/7/files");
    client_->send(uploadRequest());
    EXPECT_FALSE(client_->read().has_value());
    EXPECT_EQ(storedCount(), 0u);
    // Used up: the next connection is served.
    TestHttpClient again(port_);
    EXPECT_EQ(again.roundTrip(uploadRequest()).code(), 200);
    EXPECT_EQ(storedCount(), 1u);
    EXPECT_TRUE(server_->faults().list().empty());
}

TEST_F(FaultServerTest, DropAfterHandlesThenCloses) {
    fault(FaultMode::DropAfter, "/7/files");
    client_->send(uploadRequest());
    EXPECT_FALSE(client_->read().has_value());
    EXPECT_EQ(storedCount(), 1u);  // the upload happened, only its answer was lost
}

TEST_F(FaultServerTest, GarbageAnswersNonJson) {
    fault(FaultMode::Garbage, "/7/files");
    const Reply garbage = client_->roundTrip(uploadRequest());
    EXPECT_EQ(garbage.status, 200u);
    EXPECT_TRUE(garbage.json.is_discarded()) << garbage.body;
    EXPECT_FALSE(garbage.body.empty());
    EXPECT_EQ(storedCount(), 0u);
    EXPECT_EQ(client_->roundTrip(uploadRequest()).code(), 200);  // same connection, next request
}

TEST_F(FaultServerTest, ErrorAnswersTheChosenCode) {
    fault(FaultMode::Error, "/7/files");
    fault(FaultMode::Error, "/7/files", 1, 137);
    const Reply first = client_->roundTrip(uploadRequest());
    EXPECT_EQ(first.status, 200u);
    EXPECT_EQ(first.code(), 150);
    EXPECT_TRUE(first.data().is_null());
    EXPECT_EQ(client_->roundTrip(uploadRequest()).code(), 137);
    EXPECT_EQ(storedCount(), 0u);
    EXPECT_EQ(client_->roundTrip(uploadRequest()).code(), 200);
}

TEST_F(FaultServerTest, DelayHoldsOneAnswerWithoutStallingOthers) {
    constexpr milliseconds kDelay(1500);
    fault(FaultMode::Delay, "/7/files", 1, 150, kDelay);
    const auto sent = SteadyClock::now();
    client_->send(uploadRequest("slow.txt"));
    // Meanwhile another connection is answered at once.
    TestHttpClient other(port_);
    EXPECT_EQ(other.postEnvelope("/7/timestamp").code(), 200);
    const auto otherDone = SteadyClock::now();
    const auto slow = client_->read();
    const auto slowDone = SteadyClock::now();
    ASSERT_TRUE(slow);
    EXPECT_EQ(slow->code(), 200) << slow->body;
    EXPECT_GE(slowDone - sent, kDelay);
    EXPECT_LT(otherDone - sent, kDelay);
    EXPECT_EQ(client_->roundTrip(uploadRequest()).code(), 200);  // the connection stays usable
}

TEST_F(FaultServerTest, PathsWithoutFaultsAreUntouched) {
    fault(FaultMode::Drop, "/7/mkfile", 0);
    EXPECT_EQ(client_->roundTrip(uploadRequest()).code(), 200);
    EXPECT_EQ(client_->postEnvelope("/7/timestamp").code(), 200);
    // The query string is no part of the matched path.
    client_->send(makeRequest(http::verb::post, "/7/mkfile?x=1", envelope().dump()));
    EXPECT_FALSE(client_->read().has_value());
}

TEST_F(FaultServerTest, RetriedPieceAfterALostAnswerIsTakenOnce) {
    const std::string bytes = patternBytes(3 * kPieceSize, 5);
    const Reply first = mkfile("retry.bin", std::string_view(bytes).substr(0, kPieceSize), bytes.size());
    ASSERT_EQ(first.code(), 200) << first.body;
    fault(FaultMode::DropAfter, "/7/mkfile/next");

    const std::string_view second = std::string_view(bytes).substr(kPieceSize, kPieceSize);
    client_->send(makeRequest(
        http::verb::post, "/7/mkfile/next",
        envelope(Json{{"file", base64(second)}, {"ctx", first.data().at("ctx")}, {"offset", first.data().at("offset")}})
            .dump()));
    EXPECT_FALSE(client_->read().has_value());

    // The client retries the same request on a new connection.
    TestHttpClient retry(port_);
    const Reply accepted = next(first.data(), second, std::nullopt, &retry);
    ASSERT_EQ(accepted.code(), 200) << accepted.body;
    EXPECT_EQ(accepted.data().at("offset"), 2 * kPieceSize);
    const Reply last = next(accepted.data(), std::string_view(bytes).substr(2 * kPieceSize), std::nullopt, &retry);
    ASSERT_EQ(last.code(), 200) << last.body;
    EXPECT_EQ(retry.get("/" + last.data().at("file").at("url").get<std::string>()).body, bytes);
    EXPECT_EQ(storedCount(), 1u);
}

TEST_F(FaultServerTest, AdminEndpointsSetListAndClear) {
    const Reply added =
        client_->post("/admin/faults", R"({"path": "/7/files", "mode": "error", "code": 137, "count": 2})");
    EXPECT_EQ(added.status, 200u) << added.body;
    EXPECT_EQ(added.json.at("mode"), "error");
    EXPECT_EQ(client_->post("/admin/faults", R"({"path": "/7/mkfile", "mode": "drop"})").status, 200u);
    EXPECT_EQ(client_->post("/admin/faults", R"({"path": "/7/mkfile", "mode": "boom"})").status, 400u);
    EXPECT_EQ(client_->post("/admin/faults", R"({"path": "/admin/faults", "mode": "drop"})").status, 400u);
    EXPECT_EQ(client_->post("/admin/faults", "not json").status, 400u);

    const Reply listed = client_->get("/admin/faults");
    ASSERT_EQ(listed.status, 200u);
    ASSERT_EQ(listed.json.size(), 2u) << listed.body;
    EXPECT_EQ(listed.json[0].at("path"), "/7/files");
    EXPECT_EQ(listed.json[0].at("count"), 2);
    EXPECT_EQ(listed.json[1].at("mode"), "drop");

    EXPECT_EQ(client_->roundTrip(uploadRequest()).code(), 137);
    EXPECT_EQ(client_->get("/admin/faults").json[0].at("count"), 1);

    const Reply deletedOne =
        client_->roundTrip(makeRequest(http::verb::delete_, "/admin/faults?path=%2F7%2Fmkfile", ""));
    EXPECT_EQ(deletedOne.json.at("deleted"), 1);
    const Reply deletedAll = client_->roundTrip(makeRequest(http::verb::delete_, "/admin/faults", ""));
    EXPECT_EQ(deletedAll.json.at("deleted"), 1);
    EXPECT_TRUE(client_->get("/admin/faults").json.empty());
    EXPECT_EQ(client_->roundTrip(uploadRequest()).code(), 200);
}

TEST(FaultOptionsTest, FaultsGivenAtStartApply) {
    Options options = memoryOptions();
    options.faults.push_back(Fault::parse("/7/timestamp=error:137"));
    Server server(options);
    TestHttpClient client(server.start());
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 137);
    EXPECT_EQ(client.postEnvelope("/7/timestamp").code(), 200);

    Options invalid = memoryOptions();
    invalid.faults.push_back(Fault{"/admin/outbox", FaultMode::Drop, 1});
    EXPECT_THROW(Server{invalid}, std::invalid_argument);
}

}  // namespace faults_test
}  // namespace vorn::emulator::emutest
