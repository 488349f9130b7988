#include "support/TestDevice.h"

#include "vorn/core/VornPosition.h"
#include "vorn/core/vkOpenUDID.h"
#include "vorn/service/Vorn.h"

#include <vorn_emulator/ObjectStore.h>
#include <vorn_emulator/Server.h>

#include <unistd.h>
#include <atomic>

namespace vorn::test {

/// The in-process emulator of a test, with a folder of its own for cloud
/// functions (the tests write their functions into it) and a short time
/// limit for them.
class EmulatorHandle {
public:
    explicit EmulatorHandle(const std::string& appKey)
        : functions(makeFunctionsFolder()), server(makeOptions(appKey, functions)) {
        port = server.start();
    }
    ~EmulatorHandle() {
        server.stop();
        std::error_code ignored;
        std::filesystem::remove_all(functions, ignored);
    }

    static std::filesystem::path makeFunctionsFolder() {
        static std::atomic<int> counter{0};
        auto folder = std::filesystem::temp_directory_path() /
                      ("vorn-functions-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(folder);
        return folder;
    }

    static emulator::Options makeOptions(const std::string& appKey, const std::filesystem::path& functions) {
        emulator::Options options;
        options.port = 0;
        options.appKey = appKey;
        options.memory = true;
        options.functionsDir = functions.string();
        options.functionTimeout = std::chrono::seconds(2);
        return options;
    }

    std::filesystem::path functions;
    emulator::Server server;
    unsigned short port = 0;
};

TestDevice::TestDevice(const std::string& host) {
    static std::atomic<int> counter{0};
    directory_ = std::filesystem::temp_directory_path() /
                 ("vorn-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(directory_);
    auto& context = DeviceContext::shared();
    context.reset();
    context.setDataDirectory(directory_);
    store_ = std::make_shared<MemoryKeyValueStore>();
    context.setStore(store_);
    context.setSlotStore(std::make_shared<FileSlotStore>(directory_ / "slots"));
    context.setPositionSource(nullptr);
    pointHostsAt(host);
    VornPosition::resetSharedPositionForTesting();
    vkOpenUDID::resetCacheForTesting();
}

TestDevice::~TestDevice() {
    DeviceContext::shared().reset();
    VornPosition::resetSharedPositionForTesting();
    vkOpenUDID::resetCacheForTesting();
    std::error_code ec;
    std::filesystem::remove_all(directory_, ec);
}

void TestDevice::pointHostsAt(const std::string& host) {
    DeviceContext::shared().setHosts(ServiceHosts{host, host, host, host, "127.0.0.1"});
}

EmulatorTest::EmulatorTest() = default;
EmulatorTest::~EmulatorTest() = default;

void EmulatorTest::SetUp() {
    emulator_ = std::make_unique<EmulatorHandle>(kAppKey);
    device_ = std::make_unique<TestDevice>(host());
    Vorn::registerWithAppKey(kAppKey);
}

void EmulatorTest::TearDown() {
    device_.reset();
    emulator_.reset();
}

void EmulatorTest::stopEmulator() {
    emulator_.reset();
}

emulator::Server& EmulatorTest::emulatorServer() {
    return emulator_->server;
}

std::optional<nlohmann::json> EmulatorTest::storedObject(const std::string& className, const std::string& objectId) {
    auto& server = emulator_->server;
    return server.call([&] { return emulator::fetchObject(server.storage(), className, objectId); });
}

std::string EmulatorTest::host() const {
    return "127.0.0.1:" + std::to_string(emulator_->port);
}

}  // namespace vorn::test
