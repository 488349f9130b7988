// The headless browser harness itself: it starts, loads an emulator page,
// runs script, waits for conditions and takes screenshots.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "HeadlessBrowser.h"
#include "vorn_emulator/Server.h"

namespace vorn::consoletest::smoke {

using namespace std::chrono_literals;

#define VORN_REQUIRE_CHROMIUM()                                                                \
    do {                                                                                       \
        if (!HeadlessBrowser::executable()) {                                                  \
            GTEST_SKIP() << "no Chromium (set VORN_CHROMIUM or install the chromium package)"; \
        }                                                                                      \
    } while (false)

// A folder for one test's files, removed afterwards.
class ScratchDir {
public:
    ScratchDir() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("vorn-browser-smoke-" + std::to_string(::getpid()) + "-" + test->name());
        std::filesystem::remove_all(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

bool loadedLocally(const std::string& url) {
    return url.rfind("http://127.0.0.1:", 0) == 0 || url == "about:blank" || url.rfind("data:", 0) == 0;
}

TEST(BrowserSmokeTest, LoadsAnEmulatorPage) {
    VORN_REQUIRE_CHROMIUM();
    emulator::Options options;
    options.port = 0;
    options.memory = true;
    emulator::Server server(options);
    const auto port = server.start();

    HeadlessBrowser browser;
    browser.navigate("http://127.0.0.1:" + std::to_string(port) + "/verify?token=nosuchtoken");
    const auto text = browser.evaluate("document.body.innerText");
    ASSERT_TRUE(text.is_string());
    EXPECT_FALSE(text.get<std::string>().empty());
    EXPECT_NE(text.get<std::string>().find("Invalid link"), std::string::npos) << text;

    ScratchDir scratch;
    const auto image = scratch.path() / "shots" / "verify.png";
    browser.screenshot(image);
    std::ifstream in(image, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));

    EXPECT_TRUE(browser.pageErrors().empty()) << ::testing::PrintToString(browser.pageErrors());
    const auto urls = browser.requestedUrls();
    EXPECT_FALSE(urls.empty());
    for (const auto& url : urls) EXPECT_TRUE(loadedLocally(url)) << url;
}

TEST(BrowserSmokeTest, EvaluateThrowsTheScriptsException) {
    VORN_REQUIRE_CHROMIUM();
    HeadlessBrowser browser;
    EXPECT_EQ(browser.evaluate("6 * 7"), 42);
    EXPECT_TRUE(browser.evaluate("undefined").is_null());
    try {
        browser.evaluate("(() => { throw new Error('boom from the page'); })()");
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("boom from the page"), std::string::npos) << error.what();
    }
    EXPECT_THROW(browser.evaluate("Promise.reject(new Error('rejected'))"), std::runtime_error);
    // The page itself is fine afterwards.
    EXPECT_EQ(browser.evaluate("Promise.resolve('still here')"), "still here");
    // What evaluate reports is not an error of the page.
    EXPECT_TRUE(browser.pageErrors().empty()) << ::testing::PrintToString(browser.pageErrors());
}

TEST(BrowserSmokeTest, WaitForReturnsTheValueOnceTheConditionHolds) {
    VORN_REQUIRE_CHROMIUM();
    HeadlessBrowser browser;
    browser.evaluate("window.later = null; setTimeout(() => { window.later = 'arrived'; }, 200); 0");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(browser.waitFor("window.later"), "arrived");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 150ms);
}

TEST(BrowserSmokeTest, WaitForThrowsWhenTheConditionNeverHolds) {
    VORN_REQUIRE_CHROMIUM();
    HeadlessBrowser browser;
    const auto started = std::chrono::steady_clock::now();
    try {
        browser.waitFor("document.title === 'never set'", 300ms);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("document.title === 'never set'"), std::string::npos) << error.what();
    }
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 5s);
    EXPECT_TRUE(browser.pageErrors().empty()) << ::testing::PrintToString(browser.pageErrors());
}

TEST(BrowserSmokeTest, ClicksAndFillsInAForm) {
    VORN_REQUIRE_CHROMIUM();
    HeadlessBrowser browser;
    browser.navigate(
        "data:text/html,<input id=name><button id=go "
        "onclick=\"document.getElementById('out').textContent='hello '+document.getElementById('name').value\">"
        "Go</button><p id=out></p><p id=seen></p>"
        "<script>document.getElementById('name').addEventListener('input',"
        "()=>{document.getElementById('seen').textContent='input'})</script>");
    browser.setValue("#name", "world");
    EXPECT_EQ(browser.evaluate("document.getElementById('seen').textContent"), "input");
    browser.click("#go");
    EXPECT_EQ(browser.waitFor("document.getElementById('out').textContent"), "hello world");
    EXPECT_THROW(browser.click("#missing"), std::runtime_error);
    EXPECT_TRUE(browser.pageErrors().empty()) << ::testing::PrintToString(browser.pageErrors());
}

TEST(BrowserSmokeTest, CollectsThePagesErrors) {
    VORN_REQUIRE_CHROMIUM();
    emulator::Options options;
    options.port = 0;
    options.memory = true;
    emulator::Server server(options);
    const auto port = server.start();

    HeadlessBrowser browser;
    browser.navigate("http://127.0.0.1:" + std::to_string(port) + "/verify?token=nosuchtoken");
    EXPECT_TRUE(browser.pageErrors().empty()) << ::testing::PrintToString(browser.pageErrors());
    browser.evaluate(
        "console.error('something', 'broke'); setTimeout(() => { throw new Error('late failure'); }, 0);"
        "fetch('/no/such/resource').then(() => 0)");
    // The failed fetch is logged, the exception thrown, around the time the
    // script's promise settles.
    browser.waitForEvent("Log.entryAdded");
    browser.waitForEvent("Runtime.exceptionThrown");
    const auto errors = browser.pageErrors();
    const auto has = [&](const std::string& text) {
        for (const auto& error : errors) {
            if (error.find(text) != std::string::npos) return true;
        }
        return false;
    };
    EXPECT_TRUE(has("something broke")) << ::testing::PrintToString(errors);
    EXPECT_TRUE(has("late failure")) << ::testing::PrintToString(errors);
    EXPECT_TRUE(has("/no/such/resource")) << ::testing::PrintToString(errors);
}

#undef VORN_REQUIRE_CHROMIUM

}  // namespace vorn::consoletest::smoke
