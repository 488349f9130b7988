// The emulator's web console in a real browser: every page against an
// emulator with known data (users, a role, objects with access lists, mail,
// files, pushes, function calls, realtime subscriptions), what each shows,
// an edit that reaches a subscriber, and screenshots of each.

#include <gtest/gtest.h>
#include <vips/vips.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HeadlessBrowser.h"
#include "emulator/EmulatorTestUtil.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"
#include "vorn/core/DeviceContext.h"
#include "vorn/core/vBase64.h"
#include "vorn/realtime/VornEvent.h"
#include "vorn/service/Vorn.h"
#include "vorn_emulator/Accounts.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/Realtime.h"
#include "vorn_emulator/Server.h"

namespace vorn::consoletest::pages {

using nlohmann::json;
using namespace std::chrono_literals;
using emulator::emutest::TestHttpClient;

constexpr const char* kAppKey = "console-app-key";

// Skips without a browser, unless VORN_REQUIRE_BROWSER is set (./dev check-ui).
#define VORN_NEED_BROWSER()                                                                        \
    do {                                                                                           \
        if (!HeadlessBrowser::executable()) {                                                      \
            if (std::getenv("VORN_REQUIRE_BROWSER") != nullptr) FAIL() << "no Chromium installed"; \
            GTEST_SKIP() << "no Chromium (install the chromium package, or set VORN_CHROMIUM)";    \
        }                                                                                          \
    } while (false)

// A PNG whose pixels vary, made with libvips.
std::string makePng(int width, int height) {
    static std::once_flag once;
    std::call_once(once, [] { VIPS_INIT("console_tests"); });
    VipsImage* base = nullptr;
    vips_xyz(&base, width, height, nullptr);
    VipsImage* bands = nullptr;
    vips_bandjoin_const1(base, &bands, 128.0, nullptr);
    VipsImage* pixels = nullptr;
    vips_cast_uchar(bands, &pixels, nullptr);
    void* buffer = nullptr;
    size_t length = 0;
    vips_pngsave_buffer(pixels, &buffer, &length, nullptr);
    std::string png(static_cast<const char*>(buffer), length);
    g_free(buffer);
    g_object_unref(pixels);
    g_object_unref(bands);
    g_object_unref(base);
    return png;
}

std::string base64(const std::string& bytes) {
    return vBase64::stringByEncodingBytes(bytes.data(), bytes.size()).value_or("");
}

// Realtime notices as they arrive.
class Notices : public VornEventDelegate {
public:
    void vornEventCanStartListen(const std::shared_ptr<VornEvent>&) override { ready = true; }
    void vornEvent(const std::shared_ptr<VornEvent>&, const json& message) override {
        received.push_back(json::parse(message.get<std::string>()));
    }
    bool ready = false;
    std::vector<json> received;
};

// One emulator with known data, one subscriber and one browser for the
// whole suite; each test opens its page.
class ConsolePages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HeadlessBrowser::executable()) return;
        emulator::Options options;
        options.port = 0;
        options.memory = true;
        options.appKey = kAppKey;
        emulator::RealtimeOptions realtime;
        realtime.port = 0;
        options.realtime = realtime;
        server_ = new emulator::Server(options);
        const unsigned short port = server_->start();
        base_ = "http://127.0.0.1:" + std::to_string(port);
        client_ = new TestHttpClient(port);
        seed();

        device_ = new test::TestDevice("127.0.0.1:" + std::to_string(port));
        Vorn::registerWithAppKey(kAppKey);
        ServiceHosts hosts = DeviceContext::shared().hosts();
        hosts.realtime = "127.0.0.1:" + std::to_string(server_->realtimePort());
        DeviceContext::shared().setHosts(hosts);
        notices_ = new std::shared_ptr<Notices>(std::make_shared<Notices>());
        event_ = new std::shared_ptr<VornEvent>(VornEvent::init());
        (*event_)->setDelegate(*notices_);
        (*event_)->start();
        test::runUntil([] { return (*notices_)->ready; });
        (*event_)->listenTableChange(VornActionTypeUpdateTable, "GameScore");
        (*event_)->listenRowChange(VornActionTypeUpdateRow, "GameScore", ids_->at("editable"));
        test::runUntil([] { return server_->realtimeSubscriptionCount() == 2; });

        browser_ = new HeadlessBrowser(1280, 860);
    }

    static void TearDownTestSuite() {
        delete browser_;
        if (event_ != nullptr) (*event_)->stop();
        delete event_;
        delete notices_;
        delete client_;
        if (server_ != nullptr) server_->stop();
        delete server_;
        delete device_;
        delete ids_;
        browser_ = nullptr;
        event_ = nullptr;
        notices_ = nullptr;
        client_ = nullptr;
        server_ = nullptr;
        device_ = nullptr;
        ids_ = nullptr;
    }

    void SetUp() override {
        VORN_NEED_BROWSER();
        ASSERT_NE(browser_, nullptr);
        ASSERT_TRUE((*notices_)->ready) << "the realtime subscriber did not connect";
        errorsBefore_ = browser_->pageErrors().size();
    }

    // An envelope call; fails the test unless it succeeds.
    static json call(const std::string& path, json className, json data, const std::string& token = {}) {
        json body = emulator::emutest::envelope(std::move(data));
        body["c"] = std::move(className);
        emulator::emutest::HeaderList headers{{"X-Vorn-App-Key", kAppKey}};
        if (!token.empty()) headers.emplace_back("X-Vorn-Session-Token", token);
        const auto reply = client_->post(path, body.dump(), headers);
        EXPECT_EQ(reply.code(), 200) << path << ": " << reply.body;
        return reply.code() == 200 ? reply.data() : json();
    }

    static json pointer(const std::string& className, const std::string& id) {
        return json{{"__type", "Pointer"}, {"className", className}, {"objectId", id}};
    }

    static void seed() {
        ids_ = new std::map<std::string, std::string>();
        auto& ids = *ids_;
        const json alice =
            call("/7/signup", "_User", {{"username", "alice"}, {"password", "secret"}, {"email", "alice@example.com"}});
        ids["alice"] = alice.value("objectId", "");
        ids["bob"] = call("/7/signup", "_User", {{"username", "bob"}, {"password", "secret"}}).value("objectId", "");
        call("/7/create", "_Role",
             {{"name", "moderators"},
              {"ACL", {{"*", {{"read", true}}}}},
              {"users", {{"__op", "AddRelation"}, {"objects", json::array({pointer("_User", ids["alice"])})}}}});
        for (int i = 0; i < 30; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "player-%02d", i);
            call("/7/create", "GameScore",
                 {{"name", name}, {"score", i * 10}, {"cheatMode", i % 7 == 0}, {"ACL", {{"*", {{"read", true}}}}}});
        }
        ids["secret"] = call("/7/create", "GameScore",
                             {{"name", "secret"}, {"ACL", {{ids["alice"], {{"read", true}, {"write", true}}}}}})
                            .value("objectId", "");
        ids["editable"] =
            call("/7/create", "GameScore", {{"name", "editable"}, {"score", 5}, {"temp", "to be removed"}})
                .value("objectId", "");

        call("/7/email_verify", "_User", {{"email", "alice@example.com"}});

        ids["image"] =
            call("/7/files", nullptr, {{"file", base64(makePng(64, 48))}, {"filename", "avatar.png"}}).value("url", "");
        call("/7/files", nullptr, {{"file", base64("remember the milk\n")}, {"filename", "notes.txt"}});

        for (int i = 0; i < 2; ++i) {
            call("/7/create", "_Installation",
                 {{"deviceType", "ios"},
                  {"deviceToken", "token-" + std::to_string(i)},
                  {"channels", json::array({"news"})},
                  {"installationId", "install-" + std::to_string(i)}});
        }
        call("/7/push", nullptr,
             {{"channels", json::array({"news"})}, {"data", {{"alert", "Hello from the console test"}}}});

        const std::string key =
            std::string(kAppKey) + "-0.000000-0.000000-com.example.console-0123456789abcdef0123456789abcdef-1";
        for (const char* body : {R"({"_e": "hello", "name": "Console"})", R"({"_e": "fail"})"}) {
            const auto reply = client_->post("/1/endpoint", body, {{"a", key}});
            EXPECT_EQ(reply.status, 200u) << reply.body;
        }
    }

    // Opens a page of the console and waits until it has loaded its data.
    static void open(const std::string& route, const std::string& loaded) {
        // A query of its own each time: a fresh page, not a change of the
        // fragment within the page already open.
        static int opened = 0;
        browser_->navigate(base_ + "/console?open=" + std::to_string(++opened) + "#/" + route);
        browser_->waitFor("document.body.dataset.loaded === '" + loaded + "'");
    }

    // The text of every element matching a selector.
    static std::vector<std::string> texts(const std::string& selector) {
        return browser_->evaluate("[...document.querySelectorAll('" + selector + "')].map(e => e.textContent.trim())")
            .get<std::vector<std::string>>();
    }

    static std::string text(const std::string& selector) {
        return browser_->evaluate("document.querySelector('" + selector + "').textContent.trim()").get<std::string>();
    }

    // Keeps a screenshot in $VORN_SCREENSHOT_DIR (or the temporary folder).
    static void keep(const std::string& name) {
        const char* dir = std::getenv("VORN_SCREENSHOT_DIR");
        const std::filesystem::path folder =
            dir != nullptr ? std::filesystem::path(dir) : std::filesystem::temp_directory_path() / "vorn-console";
        const auto file = folder / ("console-" + name + ".png");
        browser_->screenshot(file);
        std::ifstream in(file, std::ios::binary);
        char signature[8] = {};
        in.read(signature, sizeof signature);
        EXPECT_EQ(std::string(signature, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << file;
    }

    // No script errors and no failed loads since the test began; with
    // `refusals`, the HTTP 400 answers the test provoked on purpose aside.
    void noPageErrors(bool refusals = false) const {
        const auto errors = browser_->pageErrors();
        for (std::size_t i = errorsBefore_; i < errors.size(); ++i) {
            if (refusals && errors[i].find("responded with a status of 400") != std::string::npos) continue;
            ADD_FAILURE() << errors[i];
        }
    }

    std::size_t errorsBefore_ = 0;

    static inline emulator::Server* server_ = nullptr;
    static inline TestHttpClient* client_ = nullptr;
    static inline test::TestDevice* device_ = nullptr;
    static inline std::shared_ptr<Notices>* notices_ = nullptr;
    static inline std::shared_ptr<VornEvent>* event_ = nullptr;
    static inline HeadlessBrowser* browser_ = nullptr;
    static inline std::map<std::string, std::string>* ids_ = nullptr;
    static inline std::string base_;
};

TEST_F(ConsolePages, DataPageListsClassesAndPagesThroughEveryObjectWithItsAccessList) {
    open("classes/GameScore", "classes");
    EXPECT_EQ(texts("#objects-table tbody tr").size(), 25u);
    EXPECT_EQ(text("#range"), "1–25 of 32");
    browser_->setValue("#order", "name");
    browser_->click("#apply");
    browser_->waitFor("document.querySelector('#objects-table td[data-key=name]')?.textContent === 'editable'");
    const json classes = browser_->evaluate(
        "Object.fromEntries([...document.querySelectorAll('#class-list a')].map("
        "a => [a.dataset.class, Number(a.querySelector('.count').textContent)]))");
    EXPECT_EQ(classes, (json{{"GameScore", 32}, {"_Installation", 2}, {"_Role", 1}, {"_User", 2}}));
    EXPECT_EQ(text("#class-list a.active"), "GameScore32");
    // The columns are the page's fields in the order first seen, then the
    // access list and the time.
    EXPECT_EQ(texts("#objects-table th"),
              (std::vector<std::string>{"objectId", "name", "score", "temp", "cheatMode", "ACL", "updatedAt"}));
    EXPECT_EQ(text("#objects-table tbody tr:nth-child(2) td[data-key=\"name\"]"), "player-00");
    EXPECT_EQ(text("#objects-table tbody tr:nth-child(2) td[data-key=\"ACL\"]"), "everyone read");
    EXPECT_EQ(text("#objects-table tbody tr:first-child td[data-key=\"ACL\"]"), "public");
    keep("data");

    // The second page holds the object only alice may read: the console sees it.
    browser_->click("#next");
    browser_->waitFor("document.querySelector('#range').textContent === '26–32 of 32'");
    const std::string secretRow = "#objects-table tr[data-id=\"" + ids_->at("secret") + "\"]";
    EXPECT_EQ(text(secretRow + " td[data-key=\"name\"]"), "secret");
    EXPECT_EQ(text(secretRow + " td[data-key=\"ACL\"]"), ids_->at("alice") + " read+write");
    EXPECT_EQ(texts("#objects-table tbody td[data-key=\"name\"]"),
              (std::vector<std::string>{"player-24", "player-25", "player-26", "player-27", "player-28", "player-29",
                                        "secret"}));
    browser_->click("#prev");
    browser_->waitFor("document.querySelector('#range').textContent === '1–25 of 32'");
    noPageErrors();
}

TEST_F(ConsolePages, DataPageFiltersByAConstraintMapAndSaysWhatIsWrongWithOne) {
    open("classes/GameScore", "classes");
    browser_->setValue("#where", R"({"score": {"$gte": 250}})");
    browser_->setValue("#order", "-score");
    browser_->click("#apply");
    browser_->waitFor("document.querySelector('#range').textContent === '1–5 of 5'");
    EXPECT_EQ(texts("#objects-table tbody td[data-key=\"name\"]"),
              (std::vector<std::string>{"player-29", "player-28", "player-27", "player-26", "player-25"}));

    browser_->setValue("#where", R"({"score": {"$bogus": 1}})");
    browser_->click("#apply");
    browser_->waitFor("document.querySelector('#objects-error')");
    EXPECT_NE(text("#objects-error").find("unknown operator \"$bogus\""), std::string::npos) << text("#objects-error");

    browser_->setValue("#where", "{not json");
    browser_->click("#apply");
    browser_->waitFor("document.querySelector('#objects-error')?.textContent.includes('not JSON')");

    browser_->setValue("#where", "");
    browser_->setValue("#order", "");
    browser_->click("#apply");
    browser_->waitFor("document.querySelector('#range')?.textContent === '1–25 of 32'");
    noPageErrors(/*refusals=*/true);
}

TEST_F(ConsolePages, AnEditGoesThroughTheWritePathSoTheSubscriberHearsOfIt) {
    const std::string id = ids_->at("editable");
    open("classes/GameScore", "classes");
    browser_->setValue("#where", R"({"name": "editable"})");
    browser_->click("#apply");
    browser_->waitFor("document.querySelector('#range').textContent === '1–1 of 1'");
    browser_->click("#objects-table tr[data-id=\"" + id + "\"]");
    browser_->waitFor("document.querySelector('#object-json')");
    const json shown =
        json::parse(browser_->evaluate("document.querySelector('#object-json').value").get<std::string>());
    EXPECT_EQ(shown, (json{{"name", "editable"}, {"score", 5}, {"temp", "to be removed"}}));

    // A changed field, a new one, and one taken out.
    browser_->setValue("#object-json", R"({"name": "editable", "score": 99, "level": "gold"})");
    keep("edit");
    const std::size_t before = (*notices_)->received.size();
    browser_->click("#save");
    browser_->waitFor("document.querySelector('#status').textContent.startsWith('Saved GameScore')");

    // The table and the row subscriptions both hear of it, with the object.
    ASSERT_TRUE(test::runUntil([&] { return (*notices_)->received.size() >= before + 2; }));
    for (std::size_t i = before; i < before + 2; ++i) {
        const json& notice = (*notices_)->received[i];
        EXPECT_EQ(notice.at("change"), "update");
        EXPECT_EQ(notice.at("objectId"), id);
        EXPECT_EQ(notice.at("object").at("score"), 99);
        EXPECT_FALSE(notice.at("object").contains("temp"));
    }
    const auto stored = server_->call([&] { return emulator::fetchObject(server_->storage(), "GameScore", id); });
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->at("score"), 99);
    EXPECT_EQ(stored->at("level"), "gold");
    EXPECT_FALSE(stored->contains("temp"));
    // The page shows the saved object again.
    browser_->waitFor("document.querySelector('#objects-table tr[data-id=\"" + id +
                      "\"] td[data-key=score]')?.textContent === '99'");

    // What the write path refuses is shown, and nothing changes.
    browser_->setValue("#object-json", R"({"name": "editable", "score": {"__op": "Increment", "amount": "x"}})");
    browser_->click("#save");
    browser_->waitFor("document.querySelector('#editor-message')?.textContent.length > 0");
    EXPECT_EQ(server_->call([&] { return emulator::fetchObject(server_->storage(), "GameScore", id); })->at("score"),
              99);
    noPageErrors(/*refusals=*/true);
}

TEST_F(ConsolePages, UnsavedEditsSurviveAReloadOfTheTable) {
    const std::string id = ids_->at("secret");
    open("classes/GameScore", "classes");
    browser_->setValue("#where", R"({"name": "secret"})");
    browser_->click("#apply");
    browser_->waitFor("document.querySelector('#objects-table tr[data-id=\"" + id + "\"]')");
    browser_->click("#objects-table tr[data-id=\"" + id + "\"]");
    browser_->waitFor("document.querySelector('#object-json')");
    const std::string typed = R"({"name": "half-typed")";
    browser_->setValue("#object-json", typed);
    // Another load of the same page, and a constraint that does not parse.
    browser_->click("#apply");
    browser_->waitFor("document.body.dataset.loaded === 'classes'");
    EXPECT_EQ(browser_->evaluate("document.querySelector('#object-json').value"), typed);
    browser_->setValue("#where", "{oops");
    browser_->click("#apply");
    browser_->waitFor("document.querySelector('#objects-error')");
    EXPECT_EQ(browser_->evaluate("document.querySelector('#object-json').value"), typed);
    // Nothing was written.
    EXPECT_EQ(server_->call([&] { return emulator::fetchObject(server_->storage(), "GameScore", id); })->at("name"),
              "secret");
    noPageErrors();
}

TEST_F(ConsolePages, ObjectsAreCreatedAndDeletedFromTheConsole) {
    open("classes/GameScore", "classes");
    browser_->click("#new-object");
    browser_->waitFor("document.querySelector('#object-json')?.value === '{}'");
    browser_->setValue("#object-json", R"({"name": "made in the console", "score": 7})");
    const std::size_t before = (*notices_)->received.size();
    browser_->click("#save");
    const std::string status = browser_->waitFor(
        "(t => t.startsWith('Created GameScore ') && t)(document.querySelector('#status').textContent)");
    const std::string id = status.substr(std::string("Created GameScore ").size());
    // The table subscriber hears of the create.
    ASSERT_TRUE(test::runUntil([&] { return (*notices_)->received.size() > before; }));
    EXPECT_EQ((*notices_)->received[before].at("change"), "create");
    EXPECT_EQ((*notices_)->received[before].at("objectId"), id);
    auto stored = [&] {
        return server_->call([&] { return emulator::fetchObject(server_->storage(), "GameScore", id); });
    };
    ASSERT_TRUE(stored());
    EXPECT_EQ(stored()->at("score"), 7);

    browser_->setValue("#where", R"({"name": "made in the console"})");
    browser_->click("#apply");
    browser_->waitFor("document.querySelector('#objects-table tr[data-id=\"" + id + "\"]')");
    browser_->click("#objects-table tr[data-id=\"" + id + "\"]");
    browser_->waitFor("document.querySelector('#delete')");
    browser_->evaluate("window.confirm = () => true");
    browser_->click("#delete");
    browser_->waitFor("document.querySelector('#status').textContent === 'Deleted GameScore " + id + "'");
    EXPECT_FALSE(stored());
    browser_->waitFor("document.querySelector('#objects-table')?.textContent === 'No object matches.'");
    noPageErrors();
}

TEST_F(ConsolePages, UsersAndRolesPageShowsWhoIsInWhichRole) {
    open("users", "users");
    const std::string alice = "#users-table tr[data-id=\"" + ids_->at("alice") + "\"]";
    EXPECT_EQ(texts("#users-table tbody tr").size(), 2u);
    EXPECT_EQ(text(alice + " td:nth-child(2)"), "alice");
    EXPECT_EQ(text(alice + " td:nth-child(3)"), "alice@example.com");
    EXPECT_EQ(text(alice + " td:nth-child(4)"), "no");
    EXPECT_EQ(text(alice + " td:nth-child(6)"), "moderators");
    EXPECT_EQ(text(alice + " td:nth-child(7)"), "1");
    EXPECT_EQ(text("#users-table tr[data-id=\"" + ids_->at("bob") + "\"] td:nth-child(6)"), "");
    EXPECT_EQ(texts("#roles-table tbody td:first-child"), std::vector<std::string>{"moderators"});
    EXPECT_EQ(texts("#roles-table tbody td:nth-child(3) .tag"), std::vector<std::string>{"alice"});
    keep("users");
    noPageErrors();
}

TEST_F(ConsolePages, UsersPageFollowsNewSessionsWithoutReloading) {
    open("users", "users");
    const std::string bobSessions = "#users-table tr[data-id=\"" + ids_->at("bob") + "\"] td:nth-child(7)";
    const std::string before = text(bobSessions);
    browser_->evaluate("window.sameDocument = true");
    call("/7/login", nullptr, {{"username", "bob"}, {"password", "secret"}});
    browser_->waitFor("document.querySelector('" + bobSessions + "')?.textContent === '" +
                      std::to_string(std::stoi(before) + 1) + "'");
    EXPECT_EQ(browser_->evaluate("window.sameDocument"), true);
    noPageErrors();
}

TEST_F(ConsolePages, OutboxPageShowsTheMailWithItsLink) {
    open("outbox", "outbox");
    ASSERT_EQ(texts("#outbox-table tbody tr").size(), 1u);
    EXPECT_EQ(text("#outbox-table tbody td:nth-child(1)"), "verify");
    EXPECT_EQ(text("#outbox-table tbody td:nth-child(2)"), "alice@example.com");
    const std::string link = browser_->evaluate("document.querySelector('#outbox-table a').href").get<std::string>();
    EXPECT_TRUE(link.starts_with(base_ + "/verify?token=")) << link;
    noPageErrors();
}

TEST_F(ConsolePages, OutboxPageShowsANewMailWithoutReloadingAndAgainWhenItsTabIsChosen) {
    server_->call([] { return emulator::clearOutbox(server_->storage()); });
    open("outbox", "outbox");
    EXPECT_EQ(text("#outbox-table"), "Nothing was sent.");
    browser_->evaluate("window.sameDocument = true");

    // Leaves one verification mail to alice, as the suite began with.
    call("/7/email_verify", "_User", {{"email", "alice@example.com"}});
    browser_->waitFor("document.querySelectorAll('#outbox-table tbody tr').length === 1");
    EXPECT_EQ(text("#outbox-table tbody td:nth-child(1)"), "verify");
    EXPECT_EQ(text("#outbox-table tbody td:nth-child(2)"), "alice@example.com");
    EXPECT_EQ(browser_->evaluate("window.sameDocument"), true);

    // A refresh with the same data leaves the table as it is; choosing the
    // tab again makes it anew.
    browser_->evaluate("document.querySelector('#outbox-table').dataset.old = 'yes'");
    browser_->click("#nav a[data-route=outbox]");
    browser_->waitFor(
        "document.body.dataset.loaded === 'outbox' && "
        "document.querySelector('#outbox-table') && !document.querySelector('#outbox-table').dataset.old");
    EXPECT_EQ(browser_->evaluate("window.sameDocument"), true);
    noPageErrors();
}

TEST_F(ConsolePages, FilesPageShowsImagesAsPreviews) {
    open("files", "files");
    EXPECT_EQ(texts("#files-grid .file").size(), 2u);
    // The image is loaded from the emulator and shown at its size.
    const json size = browser_->waitFor(
        "(() => { const i = document.querySelector('#files-grid img');"
        " return i && i.complete && i.naturalWidth ? [i.naturalWidth, i.naturalHeight] : null; })()");
    EXPECT_EQ(size, json::array({64, 48}));
    EXPECT_EQ(browser_->evaluate("document.querySelector('#files-grid img').getAttribute('src')"),
              "/" + ids_->at("image"));
    // The text file has no preview, only its type.
    const std::string notes = browser_->evaluate(
        "[...document.querySelectorAll('#files-grid .file')].find(f => f.textContent.includes('notes.txt'))"
        ".querySelector('.preview').textContent");
    EXPECT_EQ(notes, "text/plain; charset=utf-8");
    keep("files");
    noPageErrors();
}

TEST_F(ConsolePages, PushPageShowsEachDelivery) {
    open("push", "push");
    EXPECT_EQ(texts("#push-table tbody tr").size(), 2u);
    EXPECT_EQ(texts("#push-table tbody td:nth-child(4)"),
              (std::vector<std::string>{"Hello from the console test", "Hello from the console test"}));
    EXPECT_EQ(texts("#push-table tbody td:nth-child(6)"), (std::vector<std::string>{"delivered", "delivered"}));
    std::vector<std::string> tokens = texts("#push-table tbody td:nth-child(3)");
    std::sort(tokens.begin(), tokens.end());
    EXPECT_EQ(tokens, (std::vector<std::string>{"token-0", "token-1"}));
    keep("push");
    noPageErrors();
}

TEST_F(ConsolePages, FunctionsPageShowsTheLastRunOfEach) {
    open("functions", "functions");
    EXPECT_EQ(texts("#functions-table tbody td:first-child"), (std::vector<std::string>{"echo", "fail", "hello"}));
    EXPECT_EQ(text("#functions-table tr[data-name=\"echo\"] td:nth-child(3)"), "never run");
    EXPECT_EQ(text("#functions-table tr[data-name=\"hello\"] td:nth-child(4)"), "answered (200)");
    EXPECT_EQ(json::parse(text("#functions-table tr[data-name=\"hello\"] td:nth-child(7)")),
              (json{{"message", "Hello, Console"}}));
    EXPECT_EQ(texts("#runs-table tbody td:nth-child(2)"), (std::vector<std::string>{"fail", "hello"}));
    keep("functions");
    noPageErrors();
}

TEST_F(ConsolePages, FunctionsPageCallsAFunctionFromItsFormAndOpensEachRunWhole) {
    open("functions", "functions");
    browser_->setValue("#call-name", "hello");
    browser_->setValue("#call-parameters", R"({"name": "x"})");
    browser_->click("#call");
    browser_->waitFor("document.querySelector('#call-output')");
    EXPECT_EQ(text("#call-status"), "HTTP 200");
    EXPECT_EQ(json::parse(text("#call-output")), (json{{"message", "Hello, x"}}));

    // The call is the newest run; it opens to show its parameters, answer and
    // standard error, and the form keeps what was typed through refreshes.
    browser_->waitFor(
        "document.querySelector('#runs-table tbody tr.run td:nth-child(5)')?.textContent === '{\"name\":\"x\"}'");
    browser_->click("#runs-table tbody tr.run");
    browser_->waitFor(
        "document.querySelector('#runs-table tr.run-detail') && "
        "!document.querySelector('#runs-table tr.run-detail').hidden");
    EXPECT_EQ(json::parse(text("#runs-table tr.run-detail pre[data-key=input]")), (json{{"name", "x"}}));
    EXPECT_EQ(json::parse(text("#runs-table tr.run-detail pre[data-key=output]")), (json{{"message", "Hello, x"}}));
    EXPECT_EQ(text("#runs-table tr.run-detail pre[data-key=errors]"), "–");
    EXPECT_EQ(browser_->evaluate("document.querySelector('#call-parameters').value"), R"({"name": "x"})");
    keep("functions-call");

    // Parameters that are not a JSON object are refused in the page.
    browser_->setValue("#call-parameters", "[1, 2]");
    browser_->click("#call");
    browser_->waitFor("document.querySelector('#call-status')?.textContent.startsWith('The parameters are not')");
    noPageErrors();
}

TEST_F(ConsolePages, RealtimePageShowsTheSessionAndItsSubscriptions) {
    open("realtime", "realtime");
    EXPECT_EQ(texts("#sessions-table tbody tr").size(), 1u);
    EXPECT_EQ(text("#sessions-table tbody td:nth-child(2)"), "2");
    std::vector<std::string> actions = texts("#subscriptions-table tbody td:nth-child(3)");
    std::sort(actions.begin(), actions.end());
    EXPECT_EQ(actions, (std::vector<std::string>{"updateRow", "updateTable"}));
    EXPECT_EQ(texts("#subscriptions-table tbody td:nth-child(4)"),
              (std::vector<std::string>{"GameScore", "GameScore"}));
    keep("realtime");
    noPageErrors();
}

TEST_F(ConsolePages, RequestLogShowsNewRequestsLiveWithoutReloading) {
    open("requests", "requests");
    EXPECT_GT(texts("#requests-table tbody tr").size(), 30u);
    EXPECT_TRUE(texts("#requests-table tbody tr:last-child td:nth-child(3)")[0].starts_with("/7/signup"));
    browser_->evaluate("window.sameDocument = true");

    // A request made now shows up at the top, with its status.
    EXPECT_EQ(client_->get("/files/group1/console-marker.png").status, 404u);
    browser_->waitFor(
        "document.querySelector('#requests-table tbody tr td:nth-child(3)')?.textContent === "
        "'/files/group1/console-marker.png'");
    EXPECT_EQ(text("#requests-table tbody tr:first-child td:nth-child(4)"), "404");
    EXPECT_EQ(browser_->evaluate("window.sameDocument"), true);
    keep("requests");

    browser_->setValue("#request-filter", "/1/endpoint");
    EXPECT_EQ(browser_->evaluate("[...document.querySelectorAll('#requests-table tbody tr')].filter(r => !r.hidden)"
                                 ".length"),
              2);
    noPageErrors();
}

TEST_F(ConsolePages, ARequestOpensToShowWhatTheCallWasWithoutItsSecrets) {
    open("requests", "requests");
    // alice's sign-up is the oldest entry.
    browser_->click("#requests-table tbody tr:last-child");
    browser_->waitFor("document.querySelector('#request-detail dd[data-key=className]')");
    EXPECT_EQ(text("#request-detail h3"), "POST /7/signup");
    EXPECT_EQ(text("#request-detail dd[data-key=className]"), "_User");
    EXPECT_EQ(texts("#request-detail dd[data-key=keys] .tag"),
              (std::vector<std::string>{"email", "password", "username"}));
    EXPECT_TRUE(text("#request-detail dd[data-key=answer]").starts_with("HTTP 200, code 200, "))
        << text("#request-detail dd[data-key=answer]");
    EXPECT_EQ(text("#request-detail").find("secret"), std::string::npos) << text("#request-detail");
    EXPECT_EQ(text("#request-detail").find("alice@example.com"), std::string::npos) << text("#request-detail");

    // A find made now, with its constraints.
    call("/7/find", "GameScore", {{"where", {{"score", {{"$gt", 250}}}}}});
    browser_->waitFor("document.querySelector('#requests-table tbody tr td:nth-child(3)')?.textContent === '/7/find'");
    browser_->click("#requests-table tbody tr:first-child");
    browser_->waitFor("document.querySelector('#request-detail h3')?.textContent === 'POST /7/find'");
    EXPECT_EQ(text("#request-detail dd[data-key=className]"), "GameScore");
    EXPECT_EQ(json::parse(text("#request-detail dd[data-key=where]")), (json{{"score", {{"$gt", 250}}}}));
    keep("request-detail");
    // Clicked again, it closes.
    browser_->click("#requests-table tbody tr:first-child");
    browser_->waitFor("!document.querySelector('#request-detail h3')");
    noPageErrors();
}

TEST_F(ConsolePages, FaultsPageAddsListsAndClearsFaults) {
    const std::string path = "/7/console-fault-test";
    open("faults", "faults");
    EXPECT_EQ(text("#faults-table"), "No faults are waiting: every request is handled normally.");
    browser_->setValue("#fault-path", path);
    browser_->setValue("#fault-mode", "error");
    browser_->setValue("#fault-count", "2");
    browser_->setValue("#fault-code", "141");
    browser_->click("#add-fault");
    browser_->waitFor("document.querySelector('#faults-table tbody tr')");
    EXPECT_EQ(texts("#faults-table tbody td:nth-child(-n+4)"), (std::vector<std::string>{path, "error", "2", "141"}));
    const json listed = json::parse(client_->get("/admin/faults").body);
    ASSERT_EQ(listed.size(), 1u) << listed;
    EXPECT_EQ(listed[0].at("path"), path);
    EXPECT_EQ(listed[0].at("code"), 141);
    keep("faults");

    // What the emulator refuses is said in the page.
    browser_->setValue("#fault-path", "no-slash");
    browser_->click("#add-fault");
    browser_->waitFor("document.querySelector('#fault-message')?.textContent.length > 0");

    browser_->click("#clear-faults");
    browser_->waitFor("document.querySelector('#faults-table')?.textContent.startsWith('No faults')");
    EXPECT_EQ(json::parse(client_->get("/admin/faults").body), json::array());
    noPageErrors(/*refusals=*/true);
}

TEST_F(ConsolePages, SettingsPageChangesTheSettingsAndAsksBeforeClearingAllData) {
    open("settings", "settings");
    EXPECT_EQ(browser_->evaluate("document.querySelector('#setting-absolute').checked"), false);
    browser_->evaluate("document.querySelector('#setting-absolute').checked = true");
    browser_->setValue("#setting-idle", "120000");
    browser_->click("#save-settings");
    browser_->waitFor("document.querySelector('#settings-message')?.textContent === 'Saved.'");
    EXPECT_EQ(json::parse(client_->get("/admin/settings").body),
              (json{{"absoluteFileUrls", true}, {"uploadSessionIdleMs", 120000}}));
    keep("settings");

    // Refused values are said, and change nothing.
    browser_->setValue("#setting-idle", "999999999");
    browser_->click("#save-settings");
    browser_->waitFor("document.querySelector('#settings-message')?.classList.contains('bad')");
    EXPECT_EQ(json::parse(client_->get("/admin/settings").body).at("uploadSessionIdleMs"), 120000);

    // Back as the suite began.
    browser_->evaluate("document.querySelector('#setting-absolute').checked = false");
    browser_->setValue("#setting-idle", "600000");
    browser_->click("#save-settings");
    browser_->waitFor("document.querySelector('#settings-message')?.textContent === 'Saved.'");
    EXPECT_EQ(json::parse(client_->get("/admin/settings").body).at("absoluteFileUrls"), false);

    // Clearing all data asks first; declined, nothing goes.
    browser_->evaluate("window.asked = ''; window.confirm = (text) => { window.asked = text; return false; }");
    browser_->click("#clear-all");
    EXPECT_TRUE(browser_->waitFor("window.asked").get<std::string>().starts_with("Remove every object"));
    EXPECT_EQ(json::parse(client_->get("/admin/users").body).at("count"), 2);
    noPageErrors(/*refusals=*/true);
}

TEST_F(ConsolePages, UsersAreCountedAndPagedAndTheRootLeadsToTheConsole) {
    open("users", "users");
    EXPECT_EQ(text("#users-range"), "1–2 of 2");
    EXPECT_EQ(browser_->evaluate("document.querySelector('#users-prev').disabled && "
                                 "document.querySelector('#users-next').disabled"),
              true);
    browser_->navigate(base_ + "/");
    browser_->waitFor("document.body.dataset.loaded === 'classes'");
    EXPECT_EQ(browser_->evaluate("location.pathname"), "/console");
    noPageErrors();
}

TEST_F(ConsolePages, EveryPageLoadsOnlyFromTheEmulator) {
    for (const char* route :
         {"classes", "users", "outbox", "files", "push", "functions", "realtime", "requests", "faults", "settings"}) {
        open(route, route);
    }
    const auto urls = browser_->requestedUrls();
    EXPECT_GT(urls.size(), 8u);
    for (const std::string& url : urls) {
        EXPECT_TRUE(url.starts_with(base_ + "/") || url == "about:blank") << url;
    }
    noPageErrors();
}

}  // namespace vorn::consoletest::pages
