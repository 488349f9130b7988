#pragma once

#include "support/ScriptedHttpServer.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/StoreKeys.h"
#include "vorn/query/VornQuery.h"
#include "vorn/service/Vorn.h"
#include "vorn/users/VornUser.h"
#include "vorn/users/VornUserArchive.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>

namespace vorn::test {

inline std::string okReply(const nlohmann::json& data) {
    return nlohmann::json{{"result", {{"code", 200}, {"message", "ok"}}}, {"data", data}}.dump();
}

/// A scripted user service: each path answers with a body the test may change.
class UserService {
public:
    UserService()
        : server_([this](const RecordedRequest& request) {
              std::lock_guard lock(mutex_);
              auto it = replies_.find(request.target);
              return ScriptedAction::reply(it != replies_.end() ? it->second : okReply(nlohmann::json::object()));
          }) {
        const nlohmann::json account{{"objectId", "u1"},
                                     {"username", "ann"},
                                     {"email", "ann@example"},
                                     {"createdAt", "2020-01-01 10:00:00"},
                                     {"updatedAt", "2020-01-02 10:00:00"},
                                     {"sessionToken", "token-login"}};
        set("/7/signup", okReply({{"objectId", "u1"},
                                  {"createdAt", "2020-01-01 10:00:00"},
                                  {"updatedAt", "2020-01-01 10:00:00"},
                                  {"sessionToken", "token-signup"}}));
        set("/7/login", okReply(account));
        set("/7/login_or_signup", okReply(account));
        set("/7/update", okReply({{"updatedAt", "2021-05-05 05:05:05"}}));
    }
    void set(const std::string& target, std::string body) {
        std::lock_guard lock(mutex_);
        replies_[target] = std::move(body);
    }
    ScriptedHttpServer& server() { return server_; }
    RecordedRequest last() const { return server_.requests().back(); }
    nlohmann::json lastEnvelope() const { return nlohmann::json::parse(last().body); }

private:
    std::mutex mutex_;
    std::map<std::string, std::string> replies_;
    ScriptedHttpServer server_;
};

/// One result callback's outcome.
struct Outcome {
    bool called = false;
    bool succeeded = false;
    std::shared_ptr<VornUser> user;
    OptionalError error;
    VornBooleanResultBlock block() {
        return [this](bool ok, const OptionalError& e) {
            called = true;
            succeeded = ok;
            error = e;
        };
    }
    VornUserResultBlock userBlock() {
        return [this](const std::shared_ptr<VornUser>& u, const OptionalError& e) {
            called = true;
            succeeded = u != nullptr;
            user = u;
            error = e;
        };
    }
    bool wait() {
        return runUntil([this] { return called; });
    }
};

class UserTest : public ::testing::Test {
protected:
    void SetUp() override { Vorn::registerWithAppKey("key"); }

    std::optional<std::string> token() { return device_.store().stringForKey(storekeys::kSessionToken); }
    std::shared_ptr<VornUser> logIn() {
        Outcome outcome;
        VornUser::logInWithUsernameInBackground("ann", "secret", outcome.userBlock());
        EXPECT_TRUE(outcome.wait());
        return outcome.user;
    }

    /// The session header that a find sends now.
    std::string sessionHeaderOfAFind() {
        bool done = false;
        VornUser::query()->findObjectsInBackgroundWithBlock(
            [&](const std::optional<VornObjectList>&, const OptionalError&) { done = true; });
        EXPECT_TRUE(runUntil([&] { return done; }));
        return service_.last().header("X-Vorn-Session-Token");
    }

    UserService service_;
    TestDevice device_{service_.server().hostAndPort()};
};

}  // namespace vorn::test
