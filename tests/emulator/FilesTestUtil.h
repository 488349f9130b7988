#pragma once

// A memory emulator with one client connection for the file and image tests,
// and shortcuts for uploads and downloads.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>

#include "EmulatorTestUtil.h"
#include "files/Base64.h"
#include "vorn_emulator/Files.h"

namespace vorn::emulator::emutest {

// Deterministic pseudo-random bytes.
inline std::string patternBytes(std::size_t size, std::uint32_t seed = 7) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

inline std::string base64(std::string_view bytes) {
    return files::encodeBase64(bytes);
}

class FileEndpointTest : public ::testing::Test {
protected:
    void SetUp() override { start(memoryOptions()); }

    void start(Options options) {
        client_.reset();
        server_.reset();
        server_ = std::make_unique<Server>(std::move(options));
        port_ = server_->start();
        client_ = std::make_unique<TestHttpClient>(port_);
    }

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

    Reply upload(const std::string& filename, std::string_view bytes) {
        return client_->postEnvelope("/7/files", Json{{"file", base64(bytes)}, {"filename", filename}});
    }

    // Uploads and returns the reply's "url"; fails the test on an error reply.
    std::string uploadUrl(const std::string& filename, std::string_view bytes) {
        const Reply reply = upload(filename, bytes);
        EXPECT_EQ(reply.code(), 200) << reply.body;
        return reply.code() == 200 ? reply.data().at("url").get<std::string>() : std::string();
    }

    Reply mkfile(const std::string& filename, std::string_view piece, Json filesize) {
        return client_->postEnvelope("/7/mkfile",
                                     Json{{"file", base64(piece)}, {"filename", filename}, {"filesize", filesize}});
    }

    // A continuation piece POSTed to the path of a reply's "host".
    Reply next(const Json& previous, std::string_view piece, std::optional<Json> offset = std::nullopt,
               TestHttpClient* client = nullptr) {
        return (client ? *client : *client_)
            .postEnvelope(pathOf(previous.at("host").get<std::string>()),
                          Json{{"file", base64(piece)},
                               {"ctx", previous.at("ctx")},
                               {"offset", offset ? *offset : previous.at("offset")}});
    }

    // The path of an absolute URL of this server ("" when it is not one).
    std::string pathOf(const std::string& url) const {
        const std::string prefix = base();
        return url.rfind(prefix, 0) == 0 ? url.substr(prefix.size()) : std::string();
    }

    // A plain GET with extra header fields.
    Reply get(const std::string& target, const HeaderList& headers = {}) {
        return client_->roundTrip(makeRequest(http::verb::get, target, "", headers));
    }

    std::size_t storedCount() {
        return server_->call([&] { return server_->files().list().size(); });
    }

    std::unique_ptr<Server> server_;
    std::unique_ptr<TestHttpClient> client_;
    unsigned short port_ = 0;
};

}  // namespace vorn::emulator::emutest
