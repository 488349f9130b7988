#pragma once

// A memory emulator plus one client connection for the object endpoint tests,
// and shortcuts to write objects and read back what got stored.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "EmulatorTestUtil.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::emutest {

using Pairs = std::vector<std::pair<std::string, std::string>>;

inline Json pointer(const std::string& className, const std::string& objectId) {
    return Json{{"__type", "Pointer"}, {"className", className}, {"objectId", objectId}};
}

// The objects as a list, so that one braced element is a one-element array
// with every compiler (a braced Json {x} is x itself under clang).
inline Json op(const std::string& name, std::vector<Json> objects) {
    return Json{{"__op", name}, {"objects", Json(std::move(objects))}};
}
// An operator whose "objects" is any value (malformed ones included).
inline Json rawOp(const std::string& name, Json objects) {
    return Json{{"__op", name}, {"objects", std::move(objects)}};
}

inline Json increment(Json amount) {
    return Json{{"__op", "Increment"}, {"amount", std::move(amount)}};
}

class ObjectEndpointTest : public ::testing::Test {
protected:
    void SetUp() override { start(memoryOptions()); }

    void start(Options options) {
        client_.reset();
        server_.reset();  // the previous server closes its database first
        server_ = std::make_unique<Server>(std::move(options));
        client_ = std::make_unique<TestHttpClient>(server_->start());
    }

    // An envelope call with "c", "objectId" and "data" set (null members stay null).
    Reply call(const std::string& path, Json className, Json objectId, Json data) {
        Json body = envelope(std::move(data));
        body["c"] = std::move(className);
        body["objectId"] = std::move(objectId);
        return client_->post(path, body.dump());
    }

    // Creates an object and returns its objectId; fails the test on an error reply.
    std::string create(const std::string& className, Json data) {
        const Reply reply = call("/7/create", className, nullptr, std::move(data));
        EXPECT_EQ(reply.code(), 200) << reply.body;
        return reply.code() == 200 ? reply.data().at("objectId").get<std::string>() : std::string();
    }

    Reply update(const std::string& className, const std::string& objectId, Json data) {
        return call("/7/update", className, objectId, std::move(data));
    }

    std::optional<Json> fetch(const std::string& className, const std::string& objectId) {
        return server_->call([&] { return fetchObject(server_->storage(), className, objectId); });
    }

    Pairs related(const std::string& className, const std::string& objectId, const std::string& key) {
        return server_->call([&] { return relatedObjects(server_->storage(), className, objectId, key); });
    }

    std::size_t count(const std::string& className) {
        return server_->call([&] { return countObjects(server_->storage(), className); });
    }

    std::unique_ptr<Server> server_;
    std::unique_ptr<TestHttpClient> client_;
};

}  // namespace vorn::emulator::emutest
