#pragma once

// Shortcuts for the account and access control tests: envelope calls made as
// a signed-in user, sign-ups, and the outbox.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FindTestUtil.h"
#include "vorn_emulator/Accounts.h"

namespace vorn::emulator::emutest {

struct SignedUpUser {
    std::string id;
    std::string token;
};

inline Json aclOf(std::initializer_list<std::pair<std::string, Json>> entries) {
    Json acl = Json::object();
    for (const auto& [principal, permissions] : entries) acl[principal] = permissions;
    return acl;
}

inline const Json kReadOnly{{"read", true}};
inline const Json kWriteOnly{{"write", true}};
inline const Json kReadWrite{{"read", true}, {"write", true}};

class AccountsTest : public FindEndpointTest {
protected:
    // An envelope call sent with the session token (none when empty).
    Reply callAs(const std::string& token, const std::string& path, Json className, Json objectId, Json data) {
        Json body = envelope(std::move(data));
        body["c"] = std::move(className);
        body["objectId"] = std::move(objectId);
        HeaderList headers;
        if (!token.empty()) headers.emplace_back("X-Vorn-Session-Token", token);
        return client_->post(path, body.dump(), headers);
    }

    // A user call: "c" is "_User".
    Reply userCall(const std::string& path, Json data) { return call(path, "_User", nullptr, std::move(data)); }

    Reply signUpReply(const std::string& username, const std::string& password, Json fields = Json::object()) {
        fields["username"] = username;
        fields["password"] = password;
        return userCall("/7/signup", std::move(fields));
    }

    SignedUpUser signUp(const std::string& username, const std::string& password = "secret",
                        Json fields = Json::object()) {
        const Reply reply = signUpReply(username, password, std::move(fields));
        EXPECT_EQ(reply.code(), 200) << reply.body;
        if (reply.code() != 200) return {};
        return SignedUpUser{reply.data().at("objectId").get<std::string>(),
                            reply.data().at("sessionToken").get<std::string>()};
    }

    Reply logIn(const std::string& username, const std::string& password) {
        Json body = envelope(Json{{"username", username}, {"password", password}});
        body.erase("c");  // a log-in sends no class
        return client_->post("/7/login", body.dump());
    }

    Reply findAs(const std::string& token, const std::string& className, Json data) {
        return callAs(token, "/7/find", className, nullptr, std::move(data));
    }

    Reply fetchAs(const std::string& token, const std::string& className, const std::string& objectId,
                  Json data = nullptr) {
        return callAs(token, "/7/find", className, objectId, std::move(data));
    }

    // Creates an object as anonymous and returns its objectId.
    std::string createWithAcl(const std::string& className, const std::string& name, Json acl) {
        return create(className, Json{{"name", name}, {"ACL", std::move(acl)}});
    }

    // A "_Role" named `name` holding the users and roles given.
    std::string createRole(const std::string& name, const std::vector<std::string>& userIds,
                           const std::vector<std::string>& roleIds = {}) {
        Json data{{"name", name}};
        Json users = Json::array();
        for (const auto& id : userIds) users.push_back(pointer("_User", id));
        Json roles = Json::array();
        for (const auto& id : roleIds) roles.push_back(pointer("_Role", id));
        if (!users.empty()) data["users"] = op("AddRelation", users);
        if (!roles.empty()) data["roles"] = op("AddRelation", roles);
        return create("_Role", data);
    }

    std::vector<Json> outboxEntries() {
        return server_->call([&] { return outbox(server_->storage()); });
    }

    // The path and query of a link in the outbox, checked to point at this server.
    std::string linkTarget(const Json& entry) {
        const std::string link = entry.at("link").get<std::string>();
        const std::string base = "http://127.0.0.1:" + std::to_string(server_->port());
        EXPECT_TRUE(link.starts_with(base + "/")) << link;
        return link.starts_with(base) ? link.substr(base.size()) : link;
    }

    Reply send(http::verb method, const std::string& target, std::string body = {}, const HeaderList& headers = {}) {
        return client_->roundTrip(makeRequest(method, target, std::move(body), headers));
    }

    std::optional<std::string> sessionUser(const std::string& token) {
        return server_->call([&] { return sessionUserId(server_->storage(), token); });
    }

    bool passwordIs(const std::string& userId, const std::string& password) {
        return server_->call([&] { return checkUserPassword(server_->storage(), userId, password); });
    }
};

}  // namespace vorn::emulator::emutest
