#pragma once

#include "vorn/core/DeviceContext.h"
#include "vorn/core/KeyValueStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>
#include <string>

namespace vorn::emulator {
class Server;
}

namespace vorn::test {

/// A fresh device for one test: default sources, an in-memory key-value
/// store, a temporary data directory with its own identifier slots, no
/// position source, a new shared position instance, an empty identifier
/// cache, and every host pointed at `host`.
class TestDevice {
public:
    explicit TestDevice(const std::string& host = kDefaultServiceHost);
    ~TestDevice();

    MemoryKeyValueStore& store() { return *store_; }
    const std::filesystem::path& directory() const { return directory_; }
    void pointHostsAt(const std::string& host);

private:
    std::shared_ptr<MemoryKeyValueStore> store_;
    std::filesystem::path directory_;
};

/// A test fixture with a fresh device and the emulator running in-process
/// on a free loopback port, with the application key registered.
class EmulatorTest : public ::testing::Test {
protected:
    static constexpr const char* kAppKey = "test-app-key";

    EmulatorTest();
    ~EmulatorTest() override;

    void SetUp() override;
    void TearDown() override;

    std::string host() const;
    /// Stops the emulator: nothing listens on its port afterwards.
    void stopEmulator();
    /// The running emulator, for reading what it stored.
    emulator::Server& emulatorServer();
    /// An object as the emulator stores it (fields, objectId, times), if any.
    std::optional<nlohmann::json> storedObject(const std::string& className, const std::string& objectId);

    std::unique_ptr<TestDevice> device_;
    std::unique_ptr<class EmulatorHandle> emulator_;
};

}  // namespace vorn::test
