// The admin endpoints behind the web console, and its files: every object
// whatever its access list, writes through the service's own path, users
// with their roles, cloud function runs and the request log.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "AccountsTestUtil.h"
#include "console/RequestLog.h"
#include "files/Base64.h"
#include "functions/FunctionRuns.h"
#include "vorn_emulator/Server.h"

namespace vorn::emulator::emutest::console_endpoints {

class ConsoleEndpointsTest : public AccountsTest {
protected:
    Reply admin(http::verb method, const std::string& target, const Json& body = nullptr) {
        return send(method, target, body.is_null() ? std::string() : body.dump(),
                    {{"Content-Type", "application/json"}});
    }
    Reply adminFind(Json body) { return admin(http::verb::post, "/admin/find", body); }
};

TEST_F(ConsoleEndpointsTest, FindSeesEveryObjectPagedAndFiltered) {
    const auto ann = signUp("ann");
    for (int i = 0; i < 7; ++i) create("Score", Json{{"name", "s" + std::to_string(i)}, {"points", i * 10}});
    createWithAcl("Score", "hidden", aclOf({{ann.id, kReadWrite}}));
    createWithAcl("Score", "nobody's", Json::object());

    // A find by the service shows anonymous callers 7 of them; the console all 9.
    EXPECT_EQ(names(find("Score", Json{{"limit", 100}})).size(), 7u);
    Reply all = adminFind(Json{{"className", "Score"}, {"limit", 100}});
    ASSERT_EQ(all.status, 200u) << all.body;
    EXPECT_EQ(all.json.at("count"), 9);
    EXPECT_EQ(all.json.at("results").size(), 9u);

    Reply page = adminFind(Json{{"className", "Score"},
                                {"order", "-points"},
                                {"skip", 2},
                                {"limit", 3},
                                {"where", Json{{"points", Json{{"$gte", 20}}}}}});
    ASSERT_EQ(page.status, 200u) << page.body;
    EXPECT_EQ(page.json.at("count"), 5);  // 20, 30, 40, 50, 60
    ASSERT_EQ(page.json.at("results").size(), 3u);
    EXPECT_EQ(page.json["results"][0]["points"], 40);
    EXPECT_EQ(page.json["results"][2]["points"], 20);
    EXPECT_TRUE(page.json["results"][0].contains("objectId"));

    // The default page is 25.
    for (int i = 0; i < 30; ++i) create("Many", Json{{"i", i}});
    EXPECT_EQ(adminFind(Json{{"className", "Many"}}).json.at("results").size(), 25u);

    Reply classes = admin(http::verb::get, "/admin/classes");
    ASSERT_EQ(classes.status, 200u);
    EXPECT_EQ(classes.json,
              (Json::array({Json{{"className", "Many"}, {"count", 30}}, Json{{"className", "Score"}, {"count", 9}},
                            Json{{"className", "_User"}, {"count", 1}}})));
}

TEST_F(ConsoleEndpointsTest, FindRefusesBadRequestsClearly) {
    create("Score", Json{{"points", 1}});
    struct Case {
        std::string body;
        std::string says;
    };
    for (const Case& bad : std::vector<Case>{
             {"not json", "JSON object"},
             {R"({"where": {}})", "className"},
             {R"({"className": ""})", "className"},
             {R"({"className": "Score", "where": []})", "where"},
             {R"({"className": "Score", "where": {"points": {"$bogus": 1}}})", "$bogus"},
             {R"({"className": "Score", "order": 5})", "order"},
             {R"({"className": "Score", "limit": -1})", "limit"},
             {R"({"className": "Score", "skip": "2"})", "skip"},
         }) {
        const Reply reply = send(http::verb::post, "/admin/find", bad.body);
        EXPECT_EQ(reply.status, 400u) << bad.body;
        EXPECT_NE(reply.json.value("error", std::string()).find(bad.says), std::string::npos)
            << bad.body << " -> " << reply.body;
    }
}

TEST_F(ConsoleEndpointsTest, SaveAndDeleteWriteAnyObjectThroughTheServicePath) {
    const auto ann = signUp("ann", "secret", {{"email", "ann@example.com"}});
    const std::string locked = createWithAcl("Note", "locked", aclOf({{ann.id, kReadOnly}}));

    // Nobody may write it through the service, but the console may.
    EXPECT_EQ(callAs(ann.token, "/7/update", "Note", locked, Json{{"name", "mine"}}).code(),
              toInt(ErrorCode::PermissionDenied));
    Reply saved = admin(http::verb::post, "/admin/objects/save",
                        Json{{"className", "Note"},
                             {"objectId", locked},
                             {"data", Json{{"name", "edited"}, {"tags", op("AddUnique", Json::array({"a", "b"}))}}}});
    ASSERT_EQ(saved.status, 200u) << saved.body;
    EXPECT_TRUE(saved.json.contains("updatedAt"));
    const auto stored = fetch("Note", locked);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->at("name"), "edited");
    EXPECT_EQ(stored->at("tags"), Json::array({"a", "b"}));
    EXPECT_EQ(stored->at("ACL"), aclOf({{ann.id, kReadOnly}}));

    // Another user's record, with the rules of users (the e-mail address is
    // checked, the password hashed, never stored as a field).
    Reply user = admin(http::verb::post, "/admin/objects/save",
                       Json{{"className", "_User"},
                            {"objectId", ann.id},
                            {"data", Json{{"email", "ann@example.org"}, {"password", "new-secret"}}}});
    ASSERT_EQ(user.status, 200u) << user.body;
    EXPECT_EQ(fetch("_User", ann.id)->at("email"), "ann@example.org");
    EXPECT_FALSE(fetch("_User", ann.id)->contains("password"));
    EXPECT_TRUE(passwordIs(ann.id, "new-secret"));

    // A new object: no objectId.
    Reply created = admin(http::verb::post, "/admin/objects/save", Json{{"className", "Note"}, {"data", {{"n", 1}}}});
    ASSERT_EQ(created.status, 200u) << created.body;
    const std::string id = created.json.at("objectId").get<std::string>();
    EXPECT_EQ(fetch("Note", id)->at("n"), 1);

    EXPECT_EQ(
        admin(http::verb::post, "/admin/objects/delete", Json{{"className", "Note"}, {"objectId", locked}}).status,
        200u);
    EXPECT_FALSE(fetch("Note", locked));
    const Reply gone =
        admin(http::verb::post, "/admin/objects/delete", Json{{"className", "Note"}, {"objectId", locked}});
    EXPECT_EQ(gone.status, 404u);
    EXPECT_EQ(gone.json.at("code"), toInt(ErrorCode::ObjectNotFound));
    EXPECT_EQ(admin(http::verb::post, "/admin/objects/save", Json{{"className", "Note"}, {"data", "x"}}).status, 400u);
    EXPECT_EQ(admin(http::verb::post, "/admin/objects/save",
                    Json{{"className", "Note"},
                         {"objectId", id},
                         {"data", {{"n", Json{{"__op", "Increment"}, {"amount", "x"}}}}}})
                  .status,
              400u);
}

TEST_F(ConsoleEndpointsTest, UsersCarryTheirRolesAndSessionsAndRolesTheirMembers) {
    const auto ann = signUp("ann");
    const auto bob = signUp("bob");
    ASSERT_EQ(logIn("ann", "secret").code(), 200);  // a second session
    const std::string staff = createRole("staff", {ann.id});
    const std::string admins = createRole("admins", {bob.id}, {staff});

    Reply users = admin(http::verb::get, "/admin/users");
    ASSERT_EQ(users.status, 200u) << users.body;
    EXPECT_EQ(users.json.at("count"), 2) << users.body;
    std::map<std::string, Json> byName;
    for (const Json& user : users.json.at("results")) byName[user.at("username").get<std::string>()] = user;
    EXPECT_EQ(byName["ann"].at("sessions"), 2);
    EXPECT_EQ(byName["bob"].at("sessions"), 1);
    // ann is in staff, and so in admins, which holds staff.
    EXPECT_EQ(byName["ann"].at("roles"), Json::array({"admins", "staff"}));
    EXPECT_EQ(byName["bob"].at("roles"), Json::array({"admins"}));
    EXPECT_EQ(admin(http::verb::get, "/admin/users?skip=1&limit=1").json.at("results").size(), 1u);

    Reply roles = admin(http::verb::get, "/admin/roles");
    ASSERT_EQ(roles.status, 200u) << roles.body;
    ASSERT_EQ(roles.json.size(), 2u);
    const Json& first = roles.json[0].at("name") == "staff" ? roles.json[0] : roles.json[1];
    const Json& second = roles.json[0].at("name") == "staff" ? roles.json[1] : roles.json[0];
    EXPECT_EQ(first.at("objectId"), staff);
    EXPECT_EQ(first.at("users"), Json::array({Json{{"objectId", ann.id}, {"username", "ann"}}}));
    EXPECT_EQ(second.at("objectId"), admins);
    EXPECT_EQ(second.at("roles"), Json::array({"staff"}));
    EXPECT_EQ(first.at("moreUsers"), 0);
    EXPECT_EQ(second.at("moreRoles"), 0);
}

TEST_F(ConsoleEndpointsTest, RolesShowTheirFirstHundredMembersAndHowManyMore) {
    std::vector<std::string> ids;
    for (int i = 0; i < 103; ++i) ids.push_back(create("_User", Json{{"username", "u" + std::to_string(i)}}));
    createRole("crowd", ids);
    const Reply roles = admin(http::verb::get, "/admin/roles");
    ASSERT_EQ(roles.status, 200u) << roles.body;
    ASSERT_EQ(roles.json.size(), 1u);
    EXPECT_EQ(roles.json[0].at("users").size(), 100u);
    EXPECT_EQ(roles.json[0].at("users")[0], (Json{{"objectId", ids[0]}, {"username", "u0"}}));
    EXPECT_EQ(roles.json[0].at("moreUsers"), 3);
}

/// A POST written by hand: the test client sends its own Host first and the
/// first one counts, so requests that need another are put on the wire here.
auto postByHand(unsigned short port, const std::string& path, const std::string& contentType, const HeaderList& headers,
                const std::string& body) {
    std::string wire = "POST " + path + " HTTP/1.1\r\nContent-Type: " + contentType + "\r\n";
    for (const auto& [name, value] : headers) wire += name + ": " + value + "\r\n";
    wire += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    TestHttpClient client(port);
    client.sendRaw(wire);
    return client.read();
}

TEST_F(ConsoleEndpointsTest, OnlyThisMachineAndItsOwnPagesReachTheAdminEndpoints) {
    const std::string body = R"({"className": "Note", "data": {"n": 1}})";
    struct Case {
        HeaderList headers;
        unsigned status;
        std::string contentType = "application/json";
    };
    for (const Case& c : std::vector<Case>{
             {{{"Host", "127.0.0.1:1"}}, 200},
             {{{"Host", "localhost"}}, 200},
             // The console's own page: the origin is exactly the one it was reached at.
             {{{"Host", "localhost:8470"}, {"Origin", "http://localhost:8470"}}, 200},
             {{{"Host", "127.0.0.1:8470"}, {"Origin", "http://127.0.0.1:8470"}}, 200},
             {{{"Host", "127.0.0.1"}}, 200, "Application/JSON; charset=utf-8"},
             // A name that resolves here, but is not ours: a rebinding page.
             {{{"Host", "attacker.example:8470"}}, 403},
             // A page of another site posting from the developer's browser.
             {{{"Host", "127.0.0.1"}, {"Origin", "https://attacker.example"}}, 403},
             {{{"Host", "127.0.0.1"}, {"Origin", "null"}}, 403},
             {{{"Host", "127.0.0.1"}, {"Origin", "http://127.0.0.1.attacker.example"}}, 403},
             // Another local page (a development server on another port, or
             // another loopback name) is another origin.
             {{{"Host", "localhost:8470"}, {"Origin", "http://localhost:3000"}}, 403},
             {{{"Host", "[::1]:8470"}, {"Origin", "http://localhost:8470"}}, 403},
             {{{"Host", "127.0.0.1"}, {"Origin", "http://127.0.0.1:8470"}}, 403},
             // A body a page may post without a preflight.
             {{{"Host", "localhost:8470"}}, 403, "text/plain"},
             {{{"Host", "localhost:8470"}, {"Origin", "http://localhost:8470"}}, 403, "text/plain"},
         }) {
        const auto reply = postByHand(server_->port(), "/admin/objects/save", c.contentType, c.headers, body);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status) << c.headers.back().second << " " << c.contentType << " " << reply->body;
    }
    EXPECT_EQ(send(http::verb::get, "/console", "", {{"Origin", "http://evil.example"}}).status, 403u);
}

TEST_F(ConsoleEndpointsTest, ServiceRequestsFromAnotherSitesPageAreRefused) {
    const std::string body = R"({"c": "Note", "data": {"n": 1}})";
    struct Case {
        HeaderList headers;
        unsigned status;
    };
    for (const Case& c : std::vector<Case>{
             {{{"Host", "127.0.0.1:8470"}}, 200},
             {{{"Host", "localhost"}}, 200},
             {{{"Host", "127.0.0.1:8470"}, {"Origin", "http://127.0.0.1:8470"}}, 200},
             {{{"Host", "127.0.0.1:8470"}, {"Origin", "http://evil.example"}}, 403},
             {{{"Host", "127.0.0.1:8470"}, {"Origin", "http://localhost:3000"}}, 403},
             {{{"Host", "rebound.example:8470"}}, 403},
         }) {
        const auto reply = postByHand(server_->port(), "/7/create", "text/plain", c.headers, body);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status) << c.headers.back().second << " " << reply->body;
        if (c.status == 403) {
            EXPECT_EQ(Json::parse(reply->body).at("result").at("code"), 151) << reply->body;
        }
    }
}

TEST_F(ConsoleEndpointsTest, TheConsoleMaySetWhetherAnAddressIsVerified) {
    const auto ann = signUp("ann", "secret", {{"email", "ann@example.com"}});
    // Not through the service...
    ASSERT_EQ(callAs(ann.token, "/7/update", "_User", ann.id, Json{{"emailVerified", true}}).code(), 200);
    EXPECT_EQ(fetch("_User", ann.id)->at("emailVerified"), false);
    // ...but from the console, even with a new address.
    ASSERT_EQ(admin(http::verb::post, "/admin/objects/save",
                    Json{{"className", "_User"},
                         {"objectId", ann.id},
                         {"data", {{"emailVerified", true}, {"email", "ann@example.org"}}}})
                  .status,
              200u);
    EXPECT_EQ(fetch("_User", ann.id)->at("emailVerified"), true);
    EXPECT_EQ(fetch("_User", ann.id)->at("email"), "ann@example.org");
}

TEST_F(ConsoleEndpointsTest, RequestLogKeepsTheServiceCallsNotTheConsolesOwn) {
    ASSERT_EQ(admin(http::verb::get, "/admin/requests").json.at("entries"), Json::array());
    create("Score", Json{{"points", 1}});
    EXPECT_EQ(find("Score", nullptr).code(), 200);
    admin(http::verb::get, "/admin/classes");
    admin(http::verb::get, "/console");
    EXPECT_EQ(send(http::verb::get, "/nowhere").status, 404u);

    Reply log = admin(http::verb::get, "/admin/requests");
    ASSERT_EQ(log.status, 200u) << log.body;
    const Json& entries = log.json.at("entries");
    ASSERT_EQ(entries.size(), 3u) << log.body;
    EXPECT_EQ(entries[0].at("target"), "/7/create");
    EXPECT_EQ(entries[0].at("method"), "POST");
    EXPECT_EQ(entries[0].at("status"), 200);
    EXPECT_EQ(entries[0].at("code"), 200);
    EXPECT_EQ(entries[0].at("remote"), "127.0.0.1");
    EXPECT_EQ(entries[1].at("target"), "/7/find");
    EXPECT_EQ(entries[2].at("status"), 404);
    EXPECT_EQ(entries[2].at("code"), toInt(ErrorCode::UnknownPath));
    const auto last = log.json.at("last").get<std::uint64_t>();
    EXPECT_EQ(last, entries[2].at("seq").get<std::uint64_t>());

    // Only what came after.
    EXPECT_EQ(admin(http::verb::get, "/admin/requests?after=" + std::to_string(last)).json.at("entries"),
              Json::array());
    EXPECT_EQ(admin(http::verb::get, "/admin/requests?after=" + std::to_string(last - 1)).json.at("entries").size(),
              1u);
    // A service error answered with HTTP 200 shows its code.
    EXPECT_EQ(call("/7/update", "Score", "nosuchid", Json::object()).code(), toInt(ErrorCode::ObjectNotFound));
    const Json after = admin(http::verb::get, "/admin/requests?after=" + std::to_string(last)).json.at("entries");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].at("status"), 200);
    EXPECT_EQ(after[0].at("code"), toInt(ErrorCode::ObjectNotFound));
}

TEST_F(ConsoleEndpointsTest, RequestLogSaysWhatEachCallWasAndKeepsNoSecret) {
    const std::string password = "pw-signup-4417";
    const auto ann =
        signUp("ann", password,
               {{"authData",
                 {{"weibo", {{"uid", "auth-id-8812"}, {"access_token", "auth-token-8813"}, {"expires_in", 3600}}}}}});
    ASSERT_FALSE(ann.token.empty());
    const Reply logged = logIn("ann", password);
    ASSERT_EQ(logged.code(), 200) << logged.body;
    const std::string secondToken = logged.data().at("sessionToken").get<std::string>();
    // A find that carries the session header and names secret fields in its constraints.
    EXPECT_EQ(callAs(secondToken, "/7/find", "Score", nullptr,
                     Json{{"where",
                           {{"points", {{"$gt", 3}}},
                            {"password", "pw-where-5521"},
                            {"$or", Json::array({Json{{"sessionToken", "tok-where-6630"}}})}}},
                          {"limit", 5}})
                  .code(),
              200);
    const std::string bytes = "file-bytes-9034-in-the-upload";
    const std::string encoded = files::encodeBase64(bytes);
    EXPECT_EQ(client_
                  ->postEnvelope("/7/files", Json{{"file", encoded}, {"filename", "n.txt"}},
                                 {{"X-Vorn-App-Key", "app-key-7781"}, {"X-Vorn-Session-Token", ann.token}})
                  .code(),
              200);
    send(http::verb::get, "/verify?token=verify-token-3390&x=1");

    Reply log = admin(http::verb::get, "/admin/requests");
    ASSERT_EQ(log.status, 200u) << log.body;
    for (const std::string& secret :
         {password, ann.token, secondToken, std::string("auth-id-8812"), std::string("auth-token-8813"),
          std::string("pw-where-5521"), std::string("tok-where-6630"), bytes, encoded, std::string("app-key-7781"),
          std::string("verify-token-3390")}) {
        EXPECT_EQ(log.body.find(secret), std::string::npos) << secret << " is in " << log.body;
    }

    std::map<std::string, Json> byTarget;
    for (const Json& entry : log.json.at("entries")) byTarget[entry.at("target").get<std::string>()] = entry;
    const Json& signup = byTarget["/7/signup"];
    EXPECT_EQ(signup.at("className"), "_User");
    EXPECT_EQ(signup.at("keys"), Json::array({"authData", "password", "username"}));
    EXPECT_FALSE(signup.at("signedIn").get<bool>());
    EXPECT_GT(signup.at("bytes").get<std::size_t>(), 0u);
    const Json& found = byTarget["/7/find"];
    EXPECT_EQ(found.at("className"), "Score");
    EXPECT_EQ(found.at("keys"), Json::array({"limit", "where"}));
    EXPECT_TRUE(found.at("signedIn").get<bool>());
    EXPECT_EQ(found.at("where").at("points"), (Json{{"$gt", 3}}));
    EXPECT_EQ(found.at("where").at("password"), kRedacted);
    EXPECT_EQ(found.at("where").at("$or")[0].at("sessionToken"), kRedacted);
    EXPECT_EQ(byTarget["/7/files"].at("keys"), Json::array({"file", "filename"}));
    EXPECT_TRUE(byTarget.contains("/verify?token=(redacted)&x=1")) << log.body;
}

TEST(RequestLog, KeepsTheNewestAndCutsLongTargetsOnCharacterBoundaries) {
    RequestLog log;
    for (std::size_t i = 0; i < RequestLog::kCapacity + 5; ++i) {
        RequestLogEntry entry;
        entry.target = "/7/find";
        log.record(std::move(entry));
    }
    Json all = log.since(0, 10000);
    EXPECT_EQ(all.at("last"), RequestLog::kCapacity + 5);
    ASSERT_EQ(all.at("entries").size(), RequestLog::kCapacity);
    EXPECT_EQ(all["entries"][0].at("seq"), 6);
    // At most `max`, the newest.
    Json two = log.since(0, 2);
    ASSERT_EQ(two.at("entries").size(), 2u);
    EXPECT_EQ(two["entries"][1].at("seq"), RequestLog::kCapacity + 5);

    std::string target = "/x?" + std::string(RequestLog::kMaxTarget - 4, 'a');
    target += "\xC3\xA9\xC3\xA9";  // two-byte characters across the cut
    RequestLogEntry longOne;
    longOne.target = target;
    log.record(std::move(longOne));
    const std::string kept = log.since(RequestLog::kCapacity + 5, 10).at("entries")[0].at("target");
    EXPECT_LE(kept.size(), RequestLog::kMaxTarget + 3);
    EXPECT_TRUE(kept.ends_with("..."));
    EXPECT_NO_THROW((void)Json(kept).dump());

    EXPECT_TRUE(RequestLog::ignored("/admin/outbox?x=1"));
    EXPECT_TRUE(RequestLog::ignored("/console/console.js"));
    EXPECT_FALSE(RequestLog::ignored("/consoles"));
    EXPECT_FALSE(RequestLog::ignored("/7/find"));
}

TEST(FunctionRuns, LatestPerFunctionAndTheRecentOnes) {
    FunctionRuns runs;
    for (int i = 0; i < static_cast<int>(FunctionRuns::kRecent) + 3; ++i) {
        FunctionRun run;
        run.name = i % 2 ? "odd" : "even";
        run.status = 200;
        run.input = std::to_string(i);
        runs.record(std::move(run));
    }
    EXPECT_EQ(runs.names(), (std::vector<std::string>{"even", "odd"}));
    EXPECT_EQ(runs.latest("odd").at("input"), std::to_string(FunctionRuns::kRecent + 1));
    EXPECT_TRUE(runs.latest("none").is_null());
    const Json recent = runs.recent();
    ASSERT_EQ(recent.size(), FunctionRuns::kRecent);
    EXPECT_EQ(recent[0].at("input"), std::to_string(FunctionRuns::kRecent + 2));  // newest first
    FunctionRun big;
    big.name = "big";
    big.output = std::string(FunctionRuns::kMaxText * 2, 'x');
    runs.record(std::move(big));
    EXPECT_EQ(runs.latest("big").at("output").get<std::string>().size(), FunctionRuns::kMaxText + 3);
}

TEST_F(ConsoleEndpointsTest, FunctionsListTheBuiltInsWithTheirLastRuns) {
    const std::string key = "-0.000000-0.000000-com.example-0123456789abcdef0123456789abcdef-1";
    ASSERT_EQ(send(http::verb::post, "/1/endpoint", R"({"_e": "hello", "name": "Ann"})", {{"a", "app" + key}}).status,
              200u);
    ASSERT_EQ(send(http::verb::post, "/1/endpoint", R"({"_e": "nosuch"})", {{"a", "app" + key}}).status, 404u);

    Reply info = admin(http::verb::get, "/admin/functions");
    ASSERT_EQ(info.status, 200u) << info.body;
    std::map<std::string, Json> byName;
    for (const Json& function : info.json.at("functions")) byName[function.at("name").get<std::string>()] = function;
    ASSERT_EQ(byName.size(), 4u) << info.body;  // echo, fail, hello and the missing one called
    EXPECT_TRUE(byName["echo"].at("lastRun").is_null());
    EXPECT_TRUE(byName["hello"].at("builtin").get<bool>());
    const Json& hello = byName["hello"].at("lastRun");
    EXPECT_EQ(hello.at("outcome"), "answered");
    EXPECT_EQ(hello.at("status"), 200);
    EXPECT_EQ(Json::parse(hello.at("input").get<std::string>()), (Json{{"name", "Ann"}}));
    EXPECT_EQ(Json::parse(hello.at("output").get<std::string>()), (Json{{"message", "Hello, Ann"}}));
    EXPECT_EQ(byName["nosuch"].at("lastRun").at("outcome"), "not found");
    EXPECT_EQ(info.json.at("runs").size(), 2u);
    EXPECT_EQ(info.json.at("runs")[0].at("name"), "nosuch");
}

TEST(ConsoleFunctionCalls, TheConsoleCallsAFunctionAsTheServiceWouldAndKeepsItsStandardError) {
    TempDir folder;
    {
        const auto path = folder.path() / "noisy";
        std::ofstream(path) << "#!/bin/sh\ncat >/dev/null\necho 'first complaint' >&2\n"
                               "echo 'the real reason' >&2\nexit 3\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }
    Options options = memoryOptions();
    options.functionsDir = folder.path().string();
    Server server(options);
    TestHttpClient client(server.start());
    const HeaderList asJson{{"Content-Type", "application/json"}};

    const Reply hello =
        client.post("/admin/functions/call", R"({"name": "hello", "parameters": {"name": "x"}})", asJson);
    EXPECT_EQ(hello.status, 200u) << hello.body;
    EXPECT_EQ(Json::parse(hello.body), (Json{{"message", "Hello, x"}}));

    const Reply noisy = client.post("/admin/functions/call", R"({"name": "noisy", "parameters": {"n": 1}})", asJson);
    EXPECT_EQ(noisy.status, 500u) << noisy.body;
    EXPECT_EQ(Json::parse(noisy.body).at("message"), "the real reason");

    for (const char* bad :
         {R"({"parameters": {}})", R"({"name": "../x"})", R"({"name": "hello", "parameters": [1]})", "[]"}) {
        EXPECT_EQ(client.post("/admin/functions/call", bad, asJson).status, 400u) << bad;
    }
    // Not from another site's page, nor a body of another type.
    EXPECT_EQ(client.post("/admin/functions/call", R"({"name": "hello"})", {{"Content-Type", "text/plain"}}).status,
              403u);

    const Reply info = client.get("/admin/functions");
    ASSERT_EQ(info.status, 200u) << info.body;
    const Json runs = Json::parse(info.body).at("runs");
    ASSERT_EQ(runs.size(), 2u) << info.body;
    EXPECT_EQ(runs[0].at("name"), "noisy");
    EXPECT_EQ(runs[0].at("outcome"), "failed");
    EXPECT_EQ(runs[0].at("errors"), "first complaint\nthe real reason\n");
    EXPECT_EQ(Json::parse(runs[0].at("input").get<std::string>()), (Json{{"n", 1}}));
    EXPECT_EQ(runs[1].at("name"), "hello");
    EXPECT_EQ(runs[1].at("errors"), "");
    EXPECT_EQ(Json::parse(runs[1].at("output").get<std::string>()), (Json{{"message", "Hello, x"}}));
    server.stop();
}

TEST_F(ConsoleEndpointsTest, UsersArePagedWithTheCountOfAll) {
    std::set<std::string> ids;
    for (const char* name : {"u1", "u2", "u3", "u4", "u5"}) ids.insert(signUp(name).id);
    std::set<std::string> seen;
    for (int skip = 0; skip < 6; skip += 2) {
        Reply page = admin(http::verb::get, "/admin/users?skip=" + std::to_string(skip) + "&limit=2");
        ASSERT_EQ(page.status, 200u) << page.body;
        EXPECT_EQ(page.json.at("count"), 5);
        EXPECT_EQ(page.json.at("results").size(), skip < 4 ? 2u : 1u) << skip;
        for (const Json& user : page.json.at("results")) seen.insert(user.at("objectId").get<std::string>());
    }
    EXPECT_EQ(seen, ids);
    // A limit beyond the bound is lowered to it, not refused.
    EXPECT_EQ(admin(http::verb::get, "/admin/users?limit=100000").json.at("results").size(), 5u);
}

TEST_F(ConsoleEndpointsTest, ClearEmptiesObjectsUsersFilesOutboxAndPushes) {
    ASSERT_FALSE(signUp("ann", "secret", {{"email", "ann@example.com"}}).token.empty());
    create("Score", Json{{"points", 1}});
    create("_Installation", Json{{"deviceType", "ios"}, {"deviceToken", "t-1"}, {"installationId", "i-1"}});
    ASSERT_EQ(userCall("/7/email_verify", Json{{"email", "ann@example.com"}}).code(), 200);
    ASSERT_EQ(call("/7/push", nullptr, nullptr, Json{{"where", Json::object()}, {"data", {{"alert", "hi"}}}}).code(),
              200);
    ASSERT_EQ(
        call("/7/files", nullptr, nullptr, Json{{"file", files::encodeBase64("bytes")}, {"filename", "a.txt"}}).code(),
        200);
    ASSERT_EQ(admin(http::verb::get, "/admin/files").json.size(), 1u);
    ASSERT_EQ(admin(http::verb::get, "/admin/pushes").json.size(), 1u);

    Reply cleared = admin(http::verb::post, "/admin/clear", Json::object());
    ASSERT_EQ(cleared.status, 200u) << cleared.body;
    EXPECT_EQ(cleared.json, (Json{{"objects", 3}, {"users", 1}, {"files", 1}, {"outbox", 1}, {"pushes", 1}}));
    EXPECT_EQ(admin(http::verb::get, "/admin/classes").json, Json::array());
    EXPECT_EQ(admin(http::verb::get, "/admin/files").json, Json::array());
    EXPECT_EQ(admin(http::verb::get, "/admin/outbox").json, Json::array());
    EXPECT_EQ(admin(http::verb::get, "/admin/pushes").json, Json::array());
    EXPECT_EQ(admin(http::verb::get, "/admin/users").json.at("count"), 0);
    // Nobody is signed in any more, and the name is free again.
    EXPECT_NE(logIn("ann", "secret").code(), 200);
    for (const char* table : {"sessions", "passwords", "account_secrets", "relations", "field_index"}) {
        EXPECT_EQ(server_->call([&] {
            return server_->storage().queryOne(std::string("SELECT COUNT(*) FROM ") + table)->at(0).asInt();
        }),
                  0)
            << table;
    }
    EXPECT_EQ(signUpReply("ann", "other").code(), 200);
    // Only from this machine's own pages.
    EXPECT_EQ(send(http::verb::post, "/admin/clear", "{}", {{"Content-Type", "text/plain"}}).status, 403u);
}

TEST_F(ConsoleEndpointsTest, TheRootRedirectsToTheConsole) {
    const Reply root = send(http::verb::get, "/");
    EXPECT_EQ(root.status, 303u) << root.body;
    EXPECT_EQ(root.header("Location"), "/console");
}

TEST_F(ConsoleEndpointsTest, ConsoleFilesAreServedWithAStrictPolicyAndNothingElseIs) {
    for (const char* path : {"/console", "/console/"}) {
        const Reply page = send(http::verb::get, path);
        ASSERT_EQ(page.status, 200u) << path;
        EXPECT_TRUE(page.contentType.starts_with("text/html"));
        EXPECT_NE(page.body.find("/console/console.js"), std::string::npos);
        EXPECT_NE(page.header("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
    }
    const Reply script = send(http::verb::get, "/console/console.js");
    ASSERT_EQ(script.status, 200u);
    EXPECT_TRUE(script.contentType.starts_with("text/javascript"));
    EXPECT_EQ(send(http::verb::get, "/console/console.css").contentType, std::string("text/css; charset=utf-8"));
    EXPECT_EQ(send(http::verb::get, "/console/icon.svg").contentType, std::string("image/svg+xml"));
    for (const char* path : {"/console/nothing.js", "/console/../vorn.sqlite3", "/console/%2e%2e/x", "/console/a/b"}) {
        EXPECT_EQ(send(http::verb::get, path).status, 404u) << path;
    }
}

}  // namespace vorn::emulator::emutest::console_endpoints
