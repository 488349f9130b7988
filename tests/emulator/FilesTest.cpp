// File uploads (/7/files, /7/mkfile and its continuation) and downloads
// (GET /files/GROUP/NAME) over real loopback connections.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>

#include "FilesTestUtil.h"

namespace vorn::emulator::emutest {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// ---------------------------------------------------------------- base64

TEST(FileBase64Test, KnownTextsEncodeAndDecode) {
    EXPECT_EQ(files::encodeBase64("abc"), "YWJj");
    EXPECT_EQ(files::encodeBase64("ab"), "YWI=");
    EXPECT_EQ(files::encodeBase64("a"), "YQ==");
    EXPECT_EQ(files::encodeBase64(""), "");
    EXPECT_EQ(files::decodeBase64("YWJj"), "abc");
    EXPECT_EQ(files::decodeBase64("YW\r\nJj"), "abc");  // line breaks are skipped
    EXPECT_EQ(files::decodeBase64("YWI="), "ab");
    EXPECT_EQ(files::decodeBase64("YWI"), "ab");  // padding is optional
    EXPECT_EQ(files::decodeBase64("YQ=="), "a");
    EXPECT_EQ(files::decodeBase64(""), "");
}

TEST(FileBase64Test, MalformedTextIsRefused) {
    for (const char* text : {"YWJ=", "Y", "YWJjZ", "YW-j", "YW_j", "YWJj=", "YQ=", "YQ===", "YQ==YQ==", "=YWJ"}) {
        EXPECT_FALSE(files::decodeBase64(text).has_value()) << text;
    }
}

TEST(FileBase64Test, EveryLengthRoundTrips) {
    for (std::size_t size = 0; size < 64; ++size) {
        const std::string bytes = patternBytes(size, static_cast<std::uint32_t>(size));
        EXPECT_EQ(files::decodeBase64(files::encodeBase64(bytes)), bytes) << size;
    }
}

TEST(FileBase64Test, DecodedLengthIsCountedWithoutDecoding) {
    EXPECT_EQ(files::decodedLength("YWJj"), 3u);
    EXPECT_EQ(files::decodedLength("YW\r\nJj"), 3u);
    EXPECT_EQ(files::decodedLength("YWI="), 2u);
    EXPECT_EQ(files::decodedLength("YWI"), 2u);
    EXPECT_EQ(files::decodedLength("YQ=="), 1u);
    EXPECT_EQ(files::decodedLength(" \n"), 0u);
    for (std::size_t size = 0; size < 64; ++size) {
        EXPECT_EQ(files::decodedLength(files::encodeBase64(patternBytes(size))), size) << size;
    }
}

// ---------------------------------------------------------------- whole uploads and downloads

using FileUploadTest = FileEndpointTest;

TEST_F(FileUploadTest, UploadedBytesDownloadUnchanged) {
    const std::string bytes = patternBytes(100000);
    const Reply reply = upload("holiday photo.PNG", bytes);
    ASSERT_EQ(reply.code(), 200) << reply.body;
    EXPECT_EQ(reply.data().at("filename"), "holiday photo.PNG");
    EXPECT_EQ(reply.data().at("group"), "group1");
    const std::string url = reply.data().at("url").get<std::string>();
    EXPECT_TRUE(std::regex_match(url, std::regex("files/group1/[0-9a-f]{32}\\.png"))) << url;
    EXPECT_EQ(reply.data().size(), 3u) << reply.body;

    // The client joins the download base, "/" and the URL.
    const Reply download = get(pathOf(base() + "/" + url));
    EXPECT_EQ(download.status, 200u);
    EXPECT_EQ(download.body, bytes);
    EXPECT_EQ(download.contentType, "image/png");
    EXPECT_EQ(download.header("Content-Length"), std::to_string(bytes.size()));
    EXPECT_TRUE(std::regex_match(download.header("ETag"), std::regex("\"[0-9a-f]{32}\""))) << download.header("ETag");
    EXPECT_TRUE(download.keepAlive);
    EXPECT_EQ(storedCount(), 1u);
}

TEST_F(FileUploadTest, ContentTypeFollowsTheExtension) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"a.png", "image/png"},
        {"b.JPG", "image/jpeg"},
        {"c.jpeg", "image/jpeg"},
        {"d.gif", "image/gif"},
        {"e.webp", "image/webp"},
        {"f.txt", "text/plain; charset=utf-8"},
        {"g.json", "application/json"},
        {"h.pdf", "application/pdf"},
        {"i.tar.gz", "application/octet-stream"},
        {"noextension", "application/octet-stream"},
        {"j.p n g", "application/octet-stream"},
        {"k.html", "application/octet-stream"},
    };
    for (const auto& [name, type] : cases) {
        const std::string url = uploadUrl(name, "x");
        const Reply download = get("/" + url);
        EXPECT_EQ(download.status, 200u) << name;
        EXPECT_EQ(download.contentType, type) << name;
    }
}

TEST_F(FileUploadTest, StoredNamesAreGeneratedAndSafe) {
    const std::string first = uploadUrl("same.txt", "one");
    const std::string second = uploadUrl("same.txt", "two");
    EXPECT_NE(first, second);
    EXPECT_EQ(get("/" + first).body, "one");
    EXPECT_EQ(get("/" + second).body, "two");

    // Only the last path component of the name is kept; the stored name never
    // carries anything of it but a plain extension.
    const Reply traversal = upload("../../etc/passwd", "root");
    ASSERT_EQ(traversal.code(), 200) << traversal.body;
    EXPECT_EQ(traversal.data().at("filename"), "passwd");
    EXPECT_TRUE(
        std::regex_match(traversal.data().at("url").get<std::string>(), std::regex("files/group1/[0-9a-f]{32}")));
    const Reply windows = upload("C:\\Users\\x\\report.PDF", "%PDF");
    ASSERT_EQ(windows.code(), 200) << windows.body;
    EXPECT_EQ(windows.data().at("filename"), "report.PDF");
    EXPECT_TRUE(windows.data().at("url").get<std::string>().ends_with(".pdf"));
}

TEST_F(FileUploadTest, MalformedUploadsAreServiceErrors) {
    EXPECT_EQ(upload("", "x").code(), 122);
    EXPECT_EQ(upload("dir/", "x").code(), 122);
    EXPECT_EQ(upload(std::string(256, 'n'), "x").code(), 122);
    EXPECT_EQ(upload(std::string(255, 'n'), "x").code(), 200);
    EXPECT_EQ(client_->postEnvelope("/7/files", Json{{"file", "!!!!"}, {"filename", "a.txt"}}).code(), 123);
    EXPECT_EQ(client_->postEnvelope("/7/files", Json{{"file", "YWJ="}, {"filename", "a.txt"}}).code(), 123);
    EXPECT_EQ(client_->postEnvelope("/7/files", Json{{"file", 12}, {"filename", "a.txt"}}).code(), 105);
    EXPECT_EQ(client_->postEnvelope("/7/files", Json{{"filename", "a.txt"}}).code(), 104);
    EXPECT_EQ(client_->postEnvelope("/7/files", Json{{"file", "YWJj"}}).code(), 104);
    EXPECT_EQ(client_->postEnvelope("/7/files", Json{{"file", "YWJj"}, {"filename", 5}}).code(), 105);
    EXPECT_EQ(client_->postEnvelope("/7/files", nullptr).code(), 104);
    EXPECT_EQ(client_->postEnvelope("/7/files", Json::array()).code(), 105);
    EXPECT_EQ(upload("big.bin", std::string(kMaxFileSize + 1, 'b')).code(), 124);
    EXPECT_EQ(storedCount(), 1u);  // only the 255-byte name
}

TEST_F(FileUploadTest, SingleRangesAreServed) {
    const std::string bytes = patternBytes(1000);
    const std::string path = "/" + uploadUrl("r.bin", bytes);
    struct Case {
        std::string range;
        std::size_t first, last;
    };
    for (const Case& c : {Case{"bytes=0-9", 0, 9}, Case{"bytes=990-", 990, 999}, Case{"bytes=-5", 995, 999},
                          Case{"bytes=500-5000", 500, 999}, Case{"bytes=-2000", 0, 999}, Case{"bytes=7-7", 7, 7}}) {
        const Reply reply = get(path, {{"Range", c.range}});
        EXPECT_EQ(reply.status, 206u) << c.range;
        EXPECT_EQ(reply.body, bytes.substr(c.first, c.last - c.first + 1)) << c.range;
        EXPECT_EQ(reply.header("Content-Range"),
                  "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + "/1000")
            << c.range;
    }
    for (const char* unsatisfiable : {"bytes=1000-", "bytes=5000-6000", "bytes=-0"}) {
        const Reply reply = get(path, {{"Range", unsatisfiable}});
        EXPECT_EQ(reply.status, 416u) << unsatisfiable;
        EXPECT_EQ(reply.header("Content-Range"), "bytes */1000") << unsatisfiable;
    }
    // Several ranges or a malformed one: the whole file.
    for (const char* whole : {"bytes=0-1,5-6", "bytes=x-y", "items=0-1", "bytes=9-3"}) {
        const Reply reply = get(path, {{"Range", whole}});
        EXPECT_EQ(reply.status, 200u) << whole;
        EXPECT_EQ(reply.body, bytes) << whole;
    }
}

TEST_F(FileUploadTest, MatchingEtagAnswersNotModified) {
    const std::string path = "/" + uploadUrl("e.txt", "etag me");
    const std::string etag = get(path).header("ETag");
    ASSERT_FALSE(etag.empty());

    const Reply cached = get(path, {{"If-None-Match", etag}});
    EXPECT_EQ(cached.status, 304u);
    EXPECT_TRUE(cached.body.empty());
    EXPECT_EQ(cached.header("ETag"), etag);
    EXPECT_EQ(get(path, {{"If-None-Match", "\"other\", " + etag}}).status, 304u);
    EXPECT_EQ(get(path, {{"If-None-Match", "*"}}).status, 304u);
    EXPECT_EQ(get(path, {{"If-None-Match", "\"other\""}}).status, 200u);

    // The tag is the content's: same bytes, same tag; other bytes, another.
    EXPECT_EQ(get("/" + uploadUrl("copy.txt", "etag me")).header("ETag"), etag);
    EXPECT_NE(get("/" + uploadUrl("other.txt", "etag you")).header("ETag"), etag);
}

TEST_F(FileUploadTest, HeadAnswersTheHeaderOnly) {
    const std::string path = "/" + uploadUrl("h.json", "{\"a\": 1}");
    client_->send(makeRequest(http::verb::head, path, ""));
    const auto head = client_->read(/*headResponse=*/true);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200u);
    EXPECT_EQ(head->header("Content-Length"), "8");
    EXPECT_EQ(head->contentType, "application/json");
    EXPECT_TRUE(head->body.empty());
    // The connection is still in step: the next answer is the next request's.
    EXPECT_EQ(get(path).body, "{\"a\": 1}");
}

TEST_F(FileUploadTest, UnknownAndMalformedPathsAreNotFound) {
    const std::string url = uploadUrl("known.txt", "known");
    const std::string name = url.substr(url.rfind('/') + 1);
    for (const std::string& path :
         {std::string("/files/group1/") + std::string(32, '0') + ".txt", std::string("/files/group1/.."),
          std::string("/files/group1/%2e%2e"), std::string("/files/group1/%2E%2E/%2E%2E/vorn.sqlite3"),
          std::string("/files/../vorn.sqlite3"), std::string("/files/group1/../group1/") + name,
          std::string("/files/group1/") + name + "%00", std::string("/files/group1/") + name + "/",
          std::string("/files/group1/") + name + "/x", std::string("/files/group1/") + std::string(600, 'a'),
          std::string("/files/group1"), std::string("/files/"), std::string("/files//") + name,
          std::string("/files/group2/") + name, std::string("/files/group1/.") + name,
          std::string("/files/group1/%2F") + name}) {
        const Reply reply = get(path);
        EXPECT_EQ(reply.status, 404u) << path;
        EXPECT_EQ(reply.body.find("known"), std::string::npos) << path;
    }
    // A query string is no part of the name.
    EXPECT_EQ(get("/" + url + "?v=1").body, "known");
}

TEST_F(FileUploadTest, AbsoluteUrlsCanBeSwitchedOnAndOff) {
    server_->call([&] { server_->files().setAbsoluteUrls(true); });
    const std::string absolute = uploadUrl("abs.txt", "absolute");
    EXPECT_TRUE(std::regex_match(absolute, std::regex(base() + "/files/group1/[0-9a-f]{32}\\.txt"))) << absolute;
    EXPECT_EQ(get(pathOf(absolute)).body, "absolute");

    // The admin endpoint switches it back.
    const Reply settings = client_->post("/admin/settings", R"({"absoluteFileUrls": false})");
    EXPECT_EQ(settings.status, 200u);
    EXPECT_EQ(settings.json.at("absoluteFileUrls"), false);
    EXPECT_TRUE(uploadUrl("rel.txt", "relative").starts_with("files/group1/"));
    EXPECT_EQ(client_->post("/admin/settings", R"({"absoluteFileUrls": "yes"})").status, 400u);
    EXPECT_EQ(client_->get("/admin/settings").json.at("absoluteFileUrls"), false);

    Options options = memoryOptions();
    options.absoluteFileUrls = true;
    start(options);
    EXPECT_TRUE(uploadUrl("abs.txt", "x").starts_with(base() + "/files/group1/"));
}

TEST(FileDiskTest, BytesLieUnderTheDataFolderWithoutTemporaries) {
    TempDir dir;
    Options options;
    options.port = 0;
    options.dataDir = dir.path().string();
    const std::string bytes = patternBytes(300000, 3);
    std::string url;
    {
        Server server(options);
        TestHttpClient client(server.start());
        const Reply reply = client.postEnvelope("/7/files", Json{{"file", base64(bytes)}, {"filename", "disk.bin"}});
        ASSERT_EQ(reply.code(), 200) << reply.body;
        url = reply.data().at("url").get<std::string>();
        // A file on disk that the store does not list is not served.
        std::ofstream(dir.path() / "files" / "group1" / "planted.txt") << "planted";
        EXPECT_EQ(client.get("/files/group1/planted.txt").status, 404u);
    }
    const fs::path groupDir = dir.path() / "files" / "group1";
    const fs::path stored = groupDir / url.substr(url.rfind('/') + 1);
    EXPECT_EQ(readFile(stored), bytes);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(groupDir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{stored.filename().string(), "planted.txt"}));

    // The metadata outlives the server.
    Server again(options);
    TestHttpClient client(again.start());
    const Reply download = client.get("/" + url);
    EXPECT_EQ(download.status, 200u);
    EXPECT_EQ(download.body, bytes);
}

TEST_F(FileUploadTest, TooLargeDataIsRefusedBeforeItIsDecoded) {
    // One byte too many, and a character outside the alphabet at the very
    // end: the size answers before any decoding would find the bad character.
    const std::string tooLarge = base64(patternBytes(kMaxFileSize + 1)) + "*";
    const Reply refused = client_->postEnvelope("/7/files", Json{{"file", tooLarge}, {"filename", "big.bin"}});
    EXPECT_EQ(refused.code(), 124) << refused.body.substr(0, 300);

    // White space is no data: the largest file with line breaks still fits.
    const std::string bytes = patternBytes(kMaxFileSize, 3);
    const std::string plain = base64(bytes);
    std::string text;
    text.reserve(plain.size() + plain.size() / 38 + 2);
    for (std::size_t at = 0; at < plain.size(); at += 76) {
        if (at > 0) text += "\r\n";
        text.append(plain, at, 76);
    }
    const Reply stored = client_->postEnvelope("/7/files", Json{{"file", text}, {"filename", "max.bin"}});
    ASSERT_EQ(stored.code(), 200) << stored.body.substr(0, 300);
    EXPECT_EQ(get("/" + stored.data().at("url").get<std::string>()).body, bytes);
}

// ---------------------------------------------------------------- sharded uploads

class MkfileTest : public FileEndpointTest {
protected:
    // The test's clock for session expiry, moved by hand.
    void useManualClock() {
        server_->call([&] {
            server_->files().setClock(
                [this] { return FileService::Clock::time_point(std::chrono::nanoseconds(clockNanos_.load())); });
        });
    }
    void advance(std::chrono::milliseconds by) {
        clockNanos_ += std::chrono::duration_cast<std::chrono::nanoseconds>(by).count();
    }

    std::size_t openSessions() {
        return server_->call([&] { return server_->files().openSessionCount(); });
    }

    std::atomic<std::int64_t> clockNanos_{std::chrono::nanoseconds(std::chrono::hours(1)).count()};
};

TEST_F(MkfileTest, FileOfOnePieceIsStoredAtOnce) {
    const std::string bytes = patternBytes(kPieceSize);
    const Reply reply = mkfile("one.bin", bytes, kPieceSize);
    ASSERT_EQ(reply.code(), 200) << reply.body.substr(0, 300);
    const Json& file = reply.data().at("file");
    EXPECT_EQ(file.at("filename"), "one.bin");
    EXPECT_EQ(file.at("group"), "group1");
    EXPECT_EQ(get("/" + file.at("url").get<std::string>()).body, bytes);
    EXPECT_EQ(openSessions(), 0u);
}

TEST_F(MkfileTest, OneByteMoreOpensASession) {
    const std::string bytes = patternBytes(kPieceSize + 1);
    const Reply first = mkfile("two.bin", std::string_view(bytes).substr(0, kPieceSize), kPieceSize + 1);
    ASSERT_EQ(first.code(), 200) << first.body;
    const Json& data = first.data();
    EXPECT_FALSE(data.contains("file"));
    EXPECT_TRUE(std::regex_match(data.at("ctx").get<std::string>(), std::regex("[0-9a-f]{32}")));
    EXPECT_EQ(data.at("offset"), kPieceSize);
    EXPECT_EQ(data.at("host"), base() + "/7/mkfile/next");
    EXPECT_EQ(storedCount(), 0u);
    EXPECT_EQ(openSessions(), 1u);

    const Reply last = next(data, std::string_view(bytes).substr(kPieceSize));
    ASSERT_EQ(last.code(), 200) << last.body;
    const Json& file = last.data().at("file");
    EXPECT_EQ(file.at("filename"), "two.bin");
    EXPECT_EQ(get("/" + file.at("url").get<std::string>()).body, bytes);
    EXPECT_EQ(storedCount(), 1u);
    EXPECT_EQ(openSessions(), 0u);
}

TEST_F(MkfileTest, LargestFileArrivesInFortyPieces) {
    const std::string bytes = patternBytes(kMaxFileSize, 11);
    Reply reply = mkfile("max.bin", std::string_view(bytes).substr(0, kPieceSize), kMaxFileSize);
    int requests = 1;
    while (reply.code() == 200 && !reply.data().contains("file")) {
        const auto offset = reply.data().at("offset").get<std::size_t>();
        reply = next(reply.data(), std::string_view(bytes).substr(offset, kPieceSize));
        ++requests;
    }
    ASSERT_EQ(reply.code(), 200) << reply.body;
    EXPECT_EQ(requests, 40);
    EXPECT_EQ(get("/" + reply.data().at("file").at("url").get<std::string>()).body, bytes);

    EXPECT_EQ(mkfile("huge.bin", std::string_view(bytes).substr(0, kPieceSize), kMaxFileSize + 1).code(), 124);
}

TEST_F(MkfileTest, SessionHoldsNoMoreThanItsAnnouncedSize) {
    const std::string bytes = patternBytes(kMaxFileSize, 5);
    Reply reply = mkfile("held.bin", std::string_view(bytes).substr(0, kPieceSize), kMaxFileSize);
    std::size_t mostHeld = 0;
    while (reply.code() == 200 && !reply.data().contains("file")) {
        mostHeld = std::max(mostHeld, server_->call([&] { return server_->files().sessionBytesHeld(); }));
        const auto offset = reply.data().at("offset").get<std::size_t>();
        reply = next(reply.data(), std::string_view(bytes).substr(offset, kPieceSize));
    }
    ASSERT_EQ(reply.code(), 200) << reply.body;
    EXPECT_GE(mostHeld, kMaxFileSize - kPieceSize);
    EXPECT_LE(mostHeld, kMaxFileSize);
    // A finished session keeps its answer, not its bytes.
    EXPECT_LT(server_->call([&] { return server_->files().sessionBytesHeld(); }), 64u);
    EXPECT_EQ(get("/" + reply.data().at("file").at("url").get<std::string>()).body, bytes);
}

TEST_F(MkfileTest, PiecesThatDoNotFitTheSessionAreRefused) {
    const std::string bytes = patternBytes(3 * kPieceSize);
    const Reply first = mkfile("three.bin", std::string_view(bytes).substr(0, kPieceSize), 2 * kPieceSize + 10);
    ASSERT_EQ(first.code(), 200) << first.body;
    const Json& session = first.data();

    Json unknown = session;
    unknown["ctx"] = std::string(32, 'f');
    EXPECT_EQ(next(unknown, "abc").code(), 126);
    EXPECT_EQ(next(session, "abc", Json(kPieceSize + 1)).code(), 127);
    EXPECT_EQ(next(session, "abc", Json(0)).code(), 127);
    EXPECT_EQ(next(session, "abc", Json(1e300)).code(), 127);
    EXPECT_EQ(next(session, "abc", Json(std::numeric_limits<std::uint64_t>::max())).code(), 127);
    EXPECT_EQ(next(session, "abc", Json(-1e300)).code(), 105);
    EXPECT_EQ(next(session, "abc", Json(-1)).code(), 105);
    EXPECT_EQ(next(session, std::string(kPieceSize + 1, 'p')).code(), 125);
    const Reply second = next(session, std::string_view(bytes).substr(kPieceSize, kPieceSize));
    ASSERT_EQ(second.code(), 200) << second.body;
    EXPECT_EQ(second.data().at("offset"), 2 * kPieceSize);
    const Reply beyond = next(second.data(), std::string(11, 'z'));
    EXPECT_EQ(beyond.code(), 128) << beyond.body;
    EXPECT_NE(beyond.message().find("exceed"), std::string::npos) << beyond.message();
    // The session survived the refusals and still completes.
    const Reply last = next(second.data(), std::string(10, 'z'));
    ASSERT_EQ(last.code(), 200) << last.body;
    EXPECT_EQ(get("/" + last.data().at("file").at("url").get<std::string>()).body,
              bytes.substr(0, 2 * kPieceSize) + std::string(10, 'z'));

    // Malformed continuations.
    EXPECT_EQ(client_->postEnvelope("/7/mkfile/next", Json{{"file", "YWJj"}, {"offset", 0}}).code(), 104);
    EXPECT_EQ(client_->postEnvelope("/7/mkfile/next", Json{{"file", "YWJj"}, {"ctx", 1}, {"offset", 0}}).code(), 105);
    EXPECT_EQ(client_->postEnvelope("/7/mkfile/next", Json{{"file", "YWJj"}, {"ctx", "x"}, {"offset", "0"}}).code(),
              105);
    EXPECT_EQ(client_->postEnvelope("/7/mkfile/next", Json{{"file", "*"}, {"ctx", "x"}, {"offset", 0}}).code(), 123);
}

TEST_F(MkfileTest, FirstPiecesAreChecked) {
    EXPECT_EQ(mkfile("a.bin", std::string(kPieceSize + 1, 'a'), kPieceSize + 100).code(), 125);
    EXPECT_EQ(mkfile("a.bin", "abcd", 3).code(), 128);  // more than announced
    EXPECT_EQ(mkfile("a.bin", "abcd", 5).code(), 128);  // a small file comes whole
    EXPECT_EQ(mkfile("a.bin", "abcd", -4).code(), 105);
    EXPECT_EQ(mkfile("a.bin", "abcd", "4").code(), 105);
    EXPECT_EQ(mkfile("a.bin", "abcd", 4.5).code(), 105);
    // Whole numbers of any size are measured, never cast out of range.
    EXPECT_EQ(mkfile("a.bin", "abcd", 1e300).code(), 124);
    EXPECT_EQ(mkfile("a.bin", "abcd", 18446744073709551616.0).code(), 124);
    EXPECT_EQ(mkfile("a.bin", "abcd", std::numeric_limits<std::uint64_t>::max()).code(), 124);
    EXPECT_EQ(mkfile("a.bin", "abcd", -1e300).code(), 105);
    EXPECT_EQ(mkfile("a.bin", "abcd", std::numeric_limits<std::int64_t>::min()).code(), 105);
    EXPECT_EQ(mkfile("", "abcd", 4).code(), 122);
    EXPECT_EQ(mkfile(std::string(300, 'x'), "abcd", kMaxFileSize).code(), 122);
    EXPECT_EQ(client_->postEnvelope("/7/mkfile", Json{{"file", "YWJj"}, {"filename", "a"}}).code(), 104);
    EXPECT_EQ(client_->postEnvelope("/7/mkfile", Json{{"file", "Y"}, {"filename", "a"}, {"filesize", 1}}).code(), 123);
    EXPECT_EQ(storedCount(), 0u);
    EXPECT_EQ(openSessions(), 0u);
}

TEST_F(MkfileTest, TooLargePiecesAreRefusedBeforeTheyAreDecoded) {
    const std::string tooLarge = base64(patternBytes(kPieceSize + 1)) + "*";
    EXPECT_EQ(
        client_
            ->postEnvelope("/7/mkfile", Json{{"file", tooLarge}, {"filename", "a.bin"}, {"filesize", kPieceSize + 100}})
            .code(),
        125);
    const Reply first = mkfile("a.bin", "abc", kPieceSize + 100);
    ASSERT_EQ(first.code(), 200) << first.body;
    EXPECT_EQ(
        client_
            ->postEnvelope("/7/mkfile/next", Json{{"file", tooLarge}, {"ctx", first.data().at("ctx")}, {"offset", 3}})
            .code(),
        125);
    // The session is as it was.
    EXPECT_EQ(next(first.data(), "def").data().at("offset"), 6);
}

TEST_F(MkfileTest, ContinuationWithoutFileIsMissingField) {
    const Reply first = mkfile("a.bin", "abc", kPieceSize + 100);
    ASSERT_EQ(first.code(), 200) << first.body;
    const Reply missing = client_->postEnvelope("/7/mkfile/next", Json{{"ctx", first.data().at("ctx")}, {"offset", 3}});
    EXPECT_EQ(missing.code(), 104) << missing.body;
    const Reply null = client_->postEnvelope("/7/mkfile/next",
                                             Json{{"file", nullptr}, {"ctx", first.data().at("ctx")}, {"offset", 3}});
    EXPECT_EQ(null.code(), 104) << null.body;
    EXPECT_EQ(next(first.data(), "def").data().at("offset"), 6);
}

TEST_F(MkfileTest, RepeatedPiecesAreAnsweredAgainAndStoredOnce) {
    const std::string bytes = patternBytes(2 * kPieceSize + 500);
    const Reply first = mkfile("again.bin", std::string_view(bytes).substr(0, kPieceSize), bytes.size());
    ASSERT_EQ(first.code(), 200);
    const std::string_view middle = std::string_view(bytes).substr(kPieceSize, kPieceSize);
    const Reply second = next(first.data(), middle);
    ASSERT_EQ(second.code(), 200) << second.body;
    // A retry of the piece whose answer got lost: same ctx, same offset, same bytes.
    const Reply repeated = next(first.data(), middle);
    ASSERT_EQ(repeated.code(), 200) << repeated.body;
    EXPECT_EQ(repeated.data(), second.data());
    // The same offset with other bytes is no repeat.
    EXPECT_EQ(next(first.data(), std::string(kPieceSize, 'q')).code(), 127);

    const Reply last = next(second.data(), std::string_view(bytes).substr(2 * kPieceSize));
    ASSERT_EQ(last.code(), 200) << last.body;
    const Reply lastAgain = next(second.data(), std::string_view(bytes).substr(2 * kPieceSize));
    ASSERT_EQ(lastAgain.code(), 200) << lastAgain.body;
    EXPECT_EQ(lastAgain.data(), last.data());
    // An empty piece after the end asks for the result again.
    const Reply empty =
        next(Json{{"ctx", first.data().at("ctx")}, {"offset", bytes.size()}, {"host", first.data().at("host")}}, "");
    ASSERT_EQ(empty.code(), 200) << empty.body;
    EXPECT_EQ(empty.data(), last.data());

    EXPECT_EQ(storedCount(), 1u);
    EXPECT_EQ(get("/" + last.data().at("file").at("url").get<std::string>()).body, bytes);
}

TEST_F(MkfileTest, IdleSessionsExpire) {
    useManualClock();
    const std::string bytes = patternBytes(3 * kPieceSize);
    const Reply first = mkfile("idle.bin", std::string_view(bytes).substr(0, kPieceSize), bytes.size());
    ASSERT_EQ(first.code(), 200);
    advance(std::chrono::minutes(9));
    const Reply second = next(first.data(), std::string_view(bytes).substr(kPieceSize, kPieceSize));
    ASSERT_EQ(second.code(), 200) << second.body;  // used within the idle time: still open
    advance(std::chrono::minutes(10) + std::chrono::milliseconds(1));
    EXPECT_EQ(openSessions(), 0u);
    EXPECT_EQ(next(second.data(), std::string_view(bytes).substr(2 * kPieceSize)).code(), 126);

    // The idle time is a setting.
    const Reply settings = client_->post("/admin/settings", R"({"uploadSessionIdleMs": 1000})");
    EXPECT_EQ(settings.json.at("uploadSessionIdleMs"), 1000);
    const Reply other = mkfile("idle2.bin", std::string_view(bytes).substr(0, kPieceSize), bytes.size());
    ASSERT_EQ(other.code(), 200);
    advance(std::chrono::milliseconds(1001));
    EXPECT_EQ(next(other.data(), std::string_view(bytes).substr(kPieceSize, kPieceSize)).code(), 126);
}

TEST_F(MkfileTest, OpenSessionsAreCapped) {
    useManualClock();
    std::vector<Json> sessions;
    for (int i = 0; i < 64; ++i) {
        const Reply reply = mkfile("cap.bin", "x", kPieceSize + 1);
        ASSERT_EQ(reply.code(), 200) << i << reply.body;
        sessions.push_back(reply.data());
    }
    const Reply refused = mkfile("cap.bin", "x", kPieceSize + 1);
    EXPECT_EQ(refused.code(), 129) << refused.body;
    // Finishing one makes room.
    ASSERT_EQ(next(sessions[0], std::string(kPieceSize, 'y')).code(), 200);
    EXPECT_EQ(mkfile("cap.bin", "x", kPieceSize + 1).code(), 200);
    EXPECT_EQ(mkfile("cap.bin", "x", kPieceSize + 1).code(), 129);
    // So does expiry.
    advance(std::chrono::minutes(11));
    EXPECT_EQ(openSessions(), 0u);
    EXPECT_EQ(mkfile("cap.bin", "x", kPieceSize + 1).code(), 200);
}

}  // namespace
}  // namespace vorn::emulator::emutest
