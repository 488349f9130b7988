#include "support/TestDevice.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/FileUtils.h"
#include "vorn/core/KeyValueStore.h"
#include "vorn/core/v_VornUtils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

using namespace vorn;

namespace {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

std::size_t filesIn(const std::filesystem::path& directory) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++count;
    return count;
}

}  // namespace

TEST(FileKeyValueStore, PersistsEveryChangeAtomically) {
    test::TestDevice device;
    const auto file = device.directory() / "prefs" / "defaults.json";
    {
        FileKeyValueStore store(file);
        store.setObject("text", "s");
        store.setObject(true, "b");
        store.setObject(nlohmann::json{{"nested", 1}}, "m");
        store.setObject(2.5, "n");
        store.setObject("gone", "removed");
        store.setObject(nullptr, "removed");
    }
    FileKeyValueStore reopened(file);
    EXPECT_EQ(reopened.stringForKey("s"), "text");
    EXPECT_TRUE(reopened.boolForKey("b"));
    EXPECT_EQ(reopened.objectForKey("m"), (nlohmann::json{{"nested", 1}}));
    EXPECT_EQ(reopened.objectForKey("n"), 2.5);
    EXPECT_FALSE(reopened.hasKey("removed"));
    EXPECT_FALSE(reopened.boolForKey("missing"));
    // Only the store itself is left: no temporary files.
    EXPECT_EQ(filesIn(file.parent_path()), 1u);
}

TEST(FileKeyValueStore, DamagedFileReadsAsEmptyAndIsReplaced) {
    test::TestDevice device;
    const auto file = device.directory() / "defaults.json";
    ASSERT_TRUE(fileutils::writeFileAtomically(file, "{\"half\": "));
    FileKeyValueStore store(file);
    EXPECT_FALSE(store.hasKey("half"));
    store.setObject("v", "k");
    EXPECT_EQ(FileKeyValueStore(file).stringForKey("k"), "v");
}

TEST(FileKeyValueStore, ConcurrentWritersLoseNothing) {
    test::TestDevice device;
    const auto file = device.directory() / "defaults.json";
    FileKeyValueStore store(file);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&store, t] {
            for (int i = 0; i < 25; ++i) store.setObject(i, "k" + std::to_string(t) + "-" + std::to_string(i));
        });
    }
    for (auto& writer : writers) writer.join();
    FileKeyValueStore reopened(file);
    for (int t = 0; t < 4; ++t) EXPECT_EQ(reopened.objectForKey("k" + std::to_string(t) + "-24"), 24);
}

TEST(DeviceContext, DataDirectoryFollowsEnvironmentAndConfiguration) {
    test::TestDevice device;
    auto& context = DeviceContext::shared();
    {
        ScopedEnv xdg("XDG_DATA_HOME", (device.directory() / "xdg").string());
        ScopedEnv home("VORN_HOME", "");
        ::unsetenv("VORN_HOME");
        context.reset();
        context.configure(VornConfiguration{.bundleIdentifier = "com.example.notes"});
        EXPECT_EQ(context.dataDirectory(), device.directory() / "xdg" / "vorn" / "com.example.notes");
        EXPECT_EQ(v_VornUtils::filePath(),
                  (device.directory() / "xdg" / "vorn" / "com.example.notes" / "Documents").string());
        EXPECT_TRUE(std::filesystem::is_directory(v_VornUtils::filePath()));
        // The default store lives in the data directory.
        context.store()->setObject("1", "x");
        EXPECT_TRUE(std::filesystem::exists(context.dataDirectory() / "defaults.json"));
    }
    {
        ScopedEnv override("VORN_HOME", (device.directory() / "tool").string());
        context.reset();
        context.configure(VornConfiguration{.dataDirectory = device.directory() / "ignored"});
        EXPECT_EQ(context.dataDirectory(), device.directory() / "tool");
    }
}

TEST(DeviceContext, HostsComeFromConfigurationThenEnvironment) {
    test::TestDevice device;
    auto& context = DeviceContext::shared();
    context.reset();
    EXPECT_EQ(context.hosts().api, kDefaultServiceHost);
    context.configure(VornConfiguration{.apiHost = "api.example", .cloudHost = "cloud.example"});
    EXPECT_EQ(context.hosts().api, "api.example");
    EXPECT_EQ(v_VornUtils::cloudServerHostAddress(), "http://cloud.example/1");
    EXPECT_EQ(v_VornUtils::fileHostAddress(), std::string("http://") + kDefaultServiceHost + "/7");
    ScopedEnv api("VORN_API_HOST", "env.example:1");
    context.configure(VornConfiguration{.apiHost = "other.example"});
    EXPECT_EQ(context.hosts().api, "env.example:1");
    EXPECT_FALSE(context.systemTimeZoneName().empty());
    const auto identity = context.identity();
    EXPECT_FALSE(identity.bundleIdentifier.empty());
}
