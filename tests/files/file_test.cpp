#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/files/VornFile.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

using namespace vorn;
using json = nlohmann::json;
using test::RecordedRequest;
using test::ScriptedAction;
using test::ScriptedHttpServer;

namespace file_test {

/// A reply cut short: a transport failure that the HTTP client does not
/// retry by itself (it retries a request whose reused connection closes
/// before any byte of the reply).
ScriptedAction brokenReply() {
    return ScriptedAction::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"cut\"");
}

std::string reply(const json& data, int code = 200, const std::string& message = "ok") {
    return json{{"result", {{"code", code}, {"message", message}}}, {"data", data}}.dump();
}

std::string storedReply(const std::string& url = "g1/stored.png") {
    return reply({{"filename", "stored.png"}, {"group", "g1"}, {"url", url}});
}

std::string pieceStoredReply(const std::string& url = "g1/stored.bin") {
    return reply({{"file", {{"filename", "stored.bin"}, {"group", "g1"}, {"url", url}}}});
}

Bytes bytesOf(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return bytes;
}

/// A file service whose replies the test queues; an empty queue stores the file.
class Service {
public:
    Service()
        : server_([this](const RecordedRequest& request) {
              std::lock_guard lock(mutex_);
              if (!queue_.empty()) {
                  auto action = queue_.front();
                  queue_.pop_front();
                  return action;
              }
              return ScriptedAction::reply(request.target == "/7/files" ? storedReply() : pieceStoredReply());
          }) {}
    void push(ScriptedAction action, int times = 1) {
        std::lock_guard lock(mutex_);
        for (int i = 0; i < times; ++i) queue_.push_back(action);
    }
    void push(const std::string& body) { push(ScriptedAction::reply(body)); }
    ScriptedHttpServer& server() { return server_; }
    std::vector<RecordedRequest> requests() const { return server_.requests(); }

private:
    std::mutex mutex_;
    std::deque<ScriptedAction> queue_;
    ScriptedHttpServer server_;
};

using Result = test::BooleanResult;

json envelope(const RecordedRequest& request) {
    return json::parse(request.body);
}

Bytes decodedFile(const RecordedRequest& request) {
    return vBase64::decodeString(envelope(request)["data"]["file"].get<std::string>()).value_or(Bytes{});
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        Vorn::registerWithAppKey("file-key");
        base_ = v_VornUtils::storedFileDownloadAddress();
    }
    std::size_t requestCount() const { return service_.requests().size(); }

    Service service_;
    test::TestDevice device_{service_.server().hostAndPort()};
    std::string base_;
};

TEST_F(FileTest, FailedChecksReportTheirCodeInOrderAndSendNothing) {
    const auto missing = (device_.directory() / "no-such-file.png").string();
    auto fromMissingPath = VornFile::initWithFilePath(missing);
    EXPECT_FALSE(fromMissingPath->fileName().has_value());

    Result whole, sharded, withProgress;
    std::vector<std::string> order;
    fromMissingPath->saveInBackground(whole.block());
    fromMissingPath->saveInBackgroundByDataSharding(sharded.block());
    fromMissingPath->saveInBackground(
        [&](bool, const OptionalError& error) { order.push_back("result " + std::to_string(error->code)); },
        [&](float progress) { order.push_back("progress " + std::to_string(progress)); });
    EXPECT_EQ(whole.code(), kVornErrorNoneFilename);
    EXPECT_EQ(sharded.code(), kVornErrorNoneFilename);
    EXPECT_EQ(order, (std::vector<std::string>{"result 20008", "progress 0.000000"}));
    EXPECT_FALSE(fromMissingPath->save());

    // A progress callback alone still hears 0.0.
    float heard = -1;
    VornFile::initWithFileName("a.txt", Bytes{})->saveInBackground(nullptr, [&](float p) { heard = p; });
    EXPECT_EQ(heard, 0.0f);

    // The name is judged before the bytes, the bytes before the size.
    Result noNameNoBytes, noBytes, tooBig;
    VornFile::initWithFileName("", std::nullopt)->saveInBackground(noNameNoBytes.block());
    VornFile::initWithFileName("a.txt", std::nullopt)->saveInBackgroundByDataSharding(noBytes.block());
    VornFile::initWithFileName("big.bin", Bytes(VornFile::kMaxFileSize + 1))
        ->saveInBackgroundByDataSharding(tooBig.block());
    EXPECT_EQ(noNameNoBytes.code(), kVornErrorNoneFilename);
    EXPECT_EQ(noBytes.code(), kVornErrorNoneFileData);
    EXPECT_EQ(tooBig.code(), kVornErrorFileTooBig);
    EXPECT_EQ(tooBig.error->message(), "File size beyond the limit.");
    EXPECT_FALSE(VornFile::initWithFileName("empty", Bytes{})->save());

    test::drainLoop();
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(FileTest, APathThatIsThereButNoReadableFileIsReportedUnreadableWithItsName) {
    const auto folder = device_.directory() / "a-folder";
    std::filesystem::create_directories(folder);
    // A FIFO without a writer: opening it to read would wait forever.
    const auto fifo = device_.directory() / "a-fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto socketPath = device_.directory() / "a-socket";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const auto trailingSlash = folder.string() + "/";

    for (const std::string& path :
         {folder.string(), trailingSlash, fifo.string(), socketPath.string(), std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        auto file = VornFile::initWithFilePath(path);
        ASSERT_TRUE(file->fileName().has_value());
        EXPECT_EQ(*file->fileName(), path);
        EXPECT_TRUE(file->fileData().empty());
        EXPECT_EQ(file->choseId(), 0u);

        Result whole, sharded, withProgress;
        file->saveInBackground(whole.block());
        file->saveInBackgroundByDataSharding(sharded.block());
        float heard = -1;
        file->saveInBackground(withProgress.block(), [&](float p) { heard = p; });
        EXPECT_EQ(whole.code(), kVornErrorNoneFileData);
        EXPECT_EQ(sharded.code(), kVornErrorNoneFileData);
        EXPECT_EQ(withProgress.code(), kVornErrorNoneFileData);
        EXPECT_EQ(heard, 0.0f);
        EXPECT_FALSE(file->save());
    }
    ::close(listener);

    // A path with nothing behind it is still a missing name.
    auto missing = VornFile::initWithClassName("Album", (folder / "nothing-here").string());
    EXPECT_FALSE(missing->fileName().has_value());
    Result none;
    missing->saveInBackground(none.block());
    EXPECT_EQ(none.code(), kVornErrorNoneFilename);

    test::drainLoop();
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(FileTest, AWholeUploadSendsTheEnvelopeToTheFileHostAndJoinsARelativeUrl) {
    const auto path = device_.directory() / "photo.png";
    const Bytes bytes = bytesOf(1000);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    auto file = VornFile::initWithClassName("Album", path.string());
    ASSERT_EQ(file->fileData(), bytes);
    EXPECT_EQ(file->choseId(), 0u);

    std::vector<float> progress;
    std::vector<std::thread::id> progressThreads;
    Result result;
    file->saveInBackground(result.block(), [&](float p) {
        progress.push_back(p);
        progressThreads.push_back(std::this_thread::get_id());
    });
    ASSERT_TRUE(result.wait());
    ASSERT_TRUE(result.succeeded) << result.code();
    EXPECT_EQ(result.thread, std::this_thread::get_id());
    EXPECT_EQ(file->url(), base_ + "/g1/stored.png");
    EXPECT_EQ(file->name(), "stored.png");
    EXPECT_EQ(file->group(), "g1");
    EXPECT_EQ(file->uploadFileRequest(), nullptr);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 1.0f);
    for (auto id : progressThreads) EXPECT_EQ(id, std::this_thread::get_id());

    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& sent = requests[0];
    EXPECT_EQ(sent.target, "/7/files");
    EXPECT_EQ(sent.header("x-vorn-app-key"), "file-key");
    EXPECT_EQ(sent.header("content-type"), "application/json");
    EXPECT_EQ(sent.headers.count("x-vorn-session-token"), 0u);
    EXPECT_NE(sent.body.find("\n  \"c\": \"FILE\""), std::string::npos) << "pretty-printed, class FILE";
    const auto body = envelope(sent);
    EXPECT_TRUE(body["objectId"].is_null());
    EXPECT_EQ(body["v"], "v1.4.9");
    EXPECT_EQ(body["client"]["caller"], "iOS");
    EXPECT_EQ(body["data"]["filename"], "photo.png");
    EXPECT_EQ(decodedFile(sent), bytes);
}

TEST_F(FileTest, AbsoluteReplyUrlsAreKeptAndSaveBlocksWithoutTheMainLoop) {
    service_.push(storedReply("https://cdn.example/g1/x.png"));
    auto file = VornFile::initWithFileName("dir/x.png", bytesOf(10));
    Result result;
    file->saveInBackground(result.block());
    ASSERT_TRUE(result.wait());
    EXPECT_EQ(file->url(), "https://cdn.example/g1/x.png");

    // The blocking form, on a thread of its own while nobody runs the main loop.
    service_.push(storedReply("g2/y.png"));
    auto other = VornFile::initWithFileName("y.png", bytesOf(20));
    bool saved = false;
    std::thread([&] { saved = other->save(); }).join();
    EXPECT_TRUE(saved);
    EXPECT_EQ(other->url(), base_ + "/g2/y.png");
    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(envelope(requests[0])["data"]["filename"], "x.png");
    EXPECT_EQ(envelope(requests[1])["c"], "FILE");
    EXPECT_EQ(decodedFile(requests[1]), bytesOf(20));

    // A failed blocking save changes nothing.
    service_.push("not json");
    EXPECT_FALSE(other->save());
    EXPECT_EQ(other->url(), base_ + "/g2/y.png");
}

TEST_F(FileTest, WholeUploadFailuresReportTheirErrors) {
    auto file = VornFile::initWithFileName("a.bin", bytesOf(5));
    service_.push("<html>");
    Result notJson;
    file->saveInBackground(notJson.block());
    ASSERT_TRUE(notJson.wait());
    EXPECT_EQ(notJson.code(), kVornErrorUnknown);

    service_.push(reply(nullptr, 137, "quota exceeded"));
    Result refused;
    file->saveInBackground(refused.block());
    ASSERT_TRUE(refused.wait());
    EXPECT_EQ(refused.code(), 137);
    EXPECT_EQ(refused.error->message(), "quota exceeded");
    EXPECT_EQ(refused.error->domain, kVornErrorDomain);

    service_.push(brokenReply());
    Result dropped;
    file->saveInBackground(dropped.block());
    ASSERT_TRUE(dropped.wait());
    EXPECT_EQ(dropped.code(), kVornErrorConnectFailed);
    EXPECT_NE(file->uploadFileRequest(), nullptr) << "a failed request stays referenced";
    EXPECT_FALSE(file->url().has_value());
    EXPECT_EQ(requestCount(), 3u) << "the whole upload never retries";
}

TEST_F(FileTest, AFileOfOnePieceSizeGoesInOneRequestWithItsClassName) {
    auto file = VornFile::initWithFileName("one.bin", bytesOf(VornFile::kPieceSize));
    Result result;
    file->saveInBackgroundByDataSharding(result.block());
    ASSERT_TRUE(result.wait());
    ASSERT_TRUE(result.succeeded);
    EXPECT_EQ(file->url(), base_ + "/g1/stored.bin");
    EXPECT_EQ(file->name(), "stored.bin");
    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/7/mkfile");
    const auto body = envelope(requests[0]);
    EXPECT_EQ(body["c"], "FILE");
    EXPECT_EQ(body["data"]["filesize"], VornFile::kPieceSize);
    EXPECT_EQ(body["data"]["filename"], "one.bin");
    EXPECT_EQ(decodedFile(requests[0]).size(), VornFile::kPieceSize);

    // No class name: "FileClass".
    auto unnamed = VornFile::initWithClassName(std::nullopt, std::string("u.bin"), bytesOf(3));
    Result second;
    unnamed->saveInBackgroundByDataSharding(second.block());
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(envelope(service_.requests().at(1))["c"], "FileClass");
}

TEST_F(FileTest, OneByteMoreThanAPieceGoesInTwoPiecesTheSecondToTheReplysHost) {
    const Bytes bytes = bytesOf(VornFile::kPieceSize + 1);
    auto file = VornFile::initWithFileName("two.bin", bytes);
    service_.push(
        reply({{"ctx", {{"session", 7}}}, {"offset", "262144"}, {"host", service_.server().url("/up/next")}}));
    Result result;
    file->saveInBackgroundByDataSharding(result.block());
    ASSERT_TRUE(result.wait());
    ASSERT_TRUE(result.succeeded) << result.code();
    EXPECT_EQ(file->haveUploadLength(), bytes.size());
    EXPECT_EQ(file->uploadRetryCount(), 0);

    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto first = envelope(requests[0]);
    EXPECT_EQ(requests[0].target, "/7/mkfile");
    EXPECT_EQ(first["c"], "FileClass");
    EXPECT_EQ(first["data"]["filesize"], bytes.size());
    EXPECT_EQ(decodedFile(requests[0]), Bytes(bytes.begin(), bytes.begin() + VornFile::kPieceSize));

    const auto second = envelope(requests[1]);
    EXPECT_EQ(requests[1].target, "/up/next");
    EXPECT_EQ(second["c"], "FileClass");
    EXPECT_EQ(second["data"]["ctx"], (json{{"session", 7}})) << "passed back unchanged";
    EXPECT_EQ(second["data"]["offset"], 262144) << "sent back as an integer";
    EXPECT_FALSE(second["data"].contains("filename"));
    EXPECT_EQ(decodedFile(requests[1]), Bytes{bytes.back()});
}

TEST_F(FileTest, ThreeFailuresThenSuccessSucceedsAndFourReportOneConnectFailure) {
    auto file = VornFile::initWithFileName("r.bin", bytesOf(100));
    service_.push(brokenReply(), 2);
    service_.push("garbage");
    Result recovered;
    file->saveInBackgroundByDataSharding(recovered.block());
    ASSERT_TRUE(recovered.wait());
    EXPECT_TRUE(recovered.succeeded);
    EXPECT_EQ(requestCount(), 4u);
    EXPECT_EQ(file->uploadRetryCount(), 3) << "a one-piece success does not reset the count";

    // The used retries stay used: the next failure is reported at once.
    service_.push(brokenReply());
    Result spent;
    file->saveInBackgroundByDataSharding(spent.block());
    ASSERT_TRUE(spent.wait());
    EXPECT_EQ(spent.code(), kVornErrorConnectFailed);
    EXPECT_EQ(requestCount(), 5u);

    auto fresh = VornFile::initWithFileName("s.bin", bytesOf(100));
    service_.push(brokenReply(), 4);
    Result failed;
    fresh->saveInBackgroundByDataSharding(failed.block());
    ASSERT_TRUE(failed.wait());
    test::drainLoop();
    EXPECT_EQ(failed.calls, 1);
    EXPECT_EQ(failed.code(), kVornErrorConnectFailed);
    EXPECT_EQ(requestCount(), 9u);
}

TEST_F(FileTest, AOnePieceServiceErrorFailsAtOnce) {
    service_.push(reply(nullptr, 500, "busy"));
    auto file = VornFile::initWithFileName("e.bin", bytesOf(10));
    Result result;
    file->saveInBackgroundByDataSharding(result.block());
    ASSERT_TRUE(result.wait());
    EXPECT_EQ(result.code(), kVornErrorConnectFailed);
    EXPECT_EQ(requestCount(), 1u);
    EXPECT_EQ(file->uploadRetryCount(), 0);
}

TEST_F(FileTest, APieceIsRetriedAsItWasAndAnAcceptedPieceResetsTheCount) {
    const Bytes bytes = bytesOf(2 * VornFile::kPieceSize + 10);
    auto file = VornFile::initWithFileName("p.bin", bytes);
    const auto next = [&](int offset) {
        return reply(
            {{"ctx", "c" + std::to_string(offset)}, {"offset", offset}, {"host", service_.server().url("/next")}});
    };
    service_.push(brokenReply());  // the first piece, once
    service_.push(next(262144));
    service_.push(brokenReply());  // the second piece, twice
    service_.push(reply(nullptr, 503, "again"));
    service_.push(next(524288));
    service_.push("garbage");  // the third piece, three times
    service_.push(brokenReply(), 2);
    Result result;
    file->saveInBackgroundByDataSharding(result.block());
    ASSERT_TRUE(result.wait());
    ASSERT_TRUE(result.succeeded) << result.code();
    EXPECT_EQ(file->uploadRetryCount(), 0);

    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 9u);
    EXPECT_EQ(requests[0].body, requests[1].body);
    EXPECT_EQ(requests[2].body, requests[3].body);
    EXPECT_EQ(requests[3].body, requests[4].body);
    EXPECT_EQ(envelope(requests[4])["data"]["ctx"], "c262144");
    for (std::size_t i = 5; i < 9; ++i) {
        EXPECT_EQ(requests[i].target, "/next");
        EXPECT_EQ(envelope(requests[i])["data"]["offset"], 524288);
    }
    EXPECT_EQ(decodedFile(requests[8]), Bytes(bytes.end() - 10, bytes.end()));
}

TEST_F(FileTest, AServiceThatNeverFinishesGetsOneEmptyPieceThenAFailure) {
    const Bytes bytes = bytesOf(VornFile::kPieceSize + 5);
    const auto more = reply({{"ctx", "x"}, {"offset", 1}, {"host", service_.server().url("/more")}});
    service_.push(ScriptedAction::reply(more), 3);
    auto file = VornFile::initWithFileName("n.bin", bytes);
    Result result;
    file->saveInBackgroundByDataSharding(result.block());
    ASSERT_TRUE(result.wait());
    EXPECT_EQ(result.code(), kVornErrorConnectFailed);
    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(envelope(requests[2])["data"]["file"], "");
}

TEST_F(FileTest, DeleteReportsWithoutContactingTheService) {
    Result stored, unstored, noGroup;
    VornFile::fileWithUrl("http://h/g/f", "f", "g")->deleteInBackground(stored.block());
    VornFile::initWithFileName("x", bytesOf(1))->deleteInBackground(unstored.block());
    VornFile::fileWithUrl("http://h/g/f", "f")->deleteInBackground(noGroup.block());
    VornFile::fileWithUrl("http://h/g/f", "f", "g")->deleteInBackground();
    EXPECT_EQ(stored.code(), kVornErrorCannotDeleteNow);
    EXPECT_EQ(stored.error->message(), "can't delete now");
    EXPECT_EQ(unstored.code(), kVornErrorNoneFile);
    EXPECT_EQ(noGroup.code(), kVornErrorNoneFile);
    test::drainLoop();
    EXPECT_EQ(requestCount(), 0u);
}

TEST_F(FileTest, ACancelledOrReplacedUploadReportsNothing) {
    service_.push(ScriptedAction::hang());
    auto file = VornFile::initWithFileName("c.bin", bytesOf(50));
    Result cancelled;
    int progressCalls = 0;
    file->saveInBackground(cancelled.block(), [&](float) { ++progressCalls; });
    ASSERT_TRUE(test::runUntil([&] { return requestCount() >= 1; }));
    file->cancle();
    EXPECT_NE(file->uploadFileRequest(), nullptr) << "a cancelled request stays referenced";

    // A second upload replaces a first one that hangs.
    service_.push(ScriptedAction::hang());
    Result replaced, replacing;
    file->saveInBackgroundByDataSharding(replaced.block());
    ASSERT_TRUE(test::runUntil([&] { return requestCount() >= 2; }));
    file->saveInBackgroundByDataSharding(replacing.block());
    ASSERT_TRUE(replacing.wait());
    EXPECT_TRUE(replacing.succeeded);
    test::drainLoop();
    EXPECT_EQ(cancelled.calls, 0);
    EXPECT_EQ(replaced.calls, 0);
}

TEST_F(FileTest, AnUploadKeepsItsFileAliveUntilItReports) {
    Result result;
    std::weak_ptr<VornFile> weak;
    {
        auto file = VornFile::initWithFileName("alive.bin", bytesOf(30));
        weak = file;
        file->saveInBackgroundByDataSharding(result.block());
    }
    EXPECT_FALSE(weak.expired());
    ASSERT_TRUE(result.wait());
    EXPECT_TRUE(result.succeeded);
    test::drainLoop();
    EXPECT_TRUE(weak.expired()) << "nothing keeps the file once it reported";
}

TEST_F(FileTest, TheLargestFileIsUploadedWhole) {
    auto file = VornFile::initWithFileName("max.bin", bytesOf(VornFile::kMaxFileSize));
    Result result;
    file->saveInBackground(result.block());
    ASSERT_TRUE(result.wait(std::chrono::seconds(30)));
    EXPECT_TRUE(result.succeeded) << result.code();
    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(decodedFile(requests[0]).size(), VornFile::kMaxFileSize);
}

}  // namespace file_test
