#pragma once

#include "vorn/core/DeviceSources.h"
#include "vorn/core/KeyValueStore.h"
#include "vorn/core/SlotStore.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vorn {

/// The application bundle's identity.
struct AppIdentity {
    std::string bundleIdentifier;
    std::string displayName;
    std::string version;
};

/// Host names (with an optional ":port") of the service.
struct ServiceHosts {
    std::string api;
    std::string fallback;
    std::string file;
    std::string cloud;
    std::string realtime;
};

/// The default hosts: the local emulator on loopback.
inline constexpr const char* kDefaultServiceHost = "127.0.0.1:8470";
inline constexpr const char* kDefaultRealtimeHost = "127.0.0.1";

/// What the application may configure before it registers. Unset fields
/// keep their current value. Environment variables (VORN_HOME,
/// VORN_API_HOST, VORN_FALLBACK_HOST, VORN_FILE_HOST, VORN_CLOUD_HOST,
/// VORN_REALTIME_HOST) take precedence, so tools and tests can redirect an
/// application without changing it.
struct VornConfiguration {
    std::optional<std::string> bundleIdentifier{};
    std::optional<std::string> displayName{};
    std::optional<std::string> version{};
    std::optional<std::filesystem::path> dataDirectory{};
    std::optional<std::string> apiHost{};
    std::optional<std::string> fallbackHost{};
    std::optional<std::string> fileHost{};
    std::optional<std::string> cloudHost{};
    std::optional<std::string> realtimeHost{};
};

/// The facts the library reads from the device: the key-value store, the
/// bundle identity, the data and documents directories, the hosts, the time
/// zone, and the sources of the device identifier, reachability and
/// position. Each has a working default for Linux and can be replaced (for
/// tests, or by an application with better sources). Thread-safe.
class DeviceContext {
public:
    static DeviceContext& shared();

    void configure(const VornConfiguration& configuration);

    std::shared_ptr<KeyValueStore> store();
    void setStore(std::shared_ptr<KeyValueStore> store);

    AppIdentity identity() const;
    void setIdentity(AppIdentity identity);

    /// The application's data directory (holds the defaults store).
    std::filesystem::path dataDirectory() const;
    void setDataDirectory(std::filesystem::path directory);
    /// The documents directory, "Documents" under the data directory;
    /// created when missing.
    std::filesystem::path documentsDirectory() const;

    ServiceHosts hosts() const;
    void setHosts(ServiceHosts hosts);

    /// The name of the system time zone ("Europe/Berlin").
    std::string systemTimeZoneName() const;

    std::shared_ptr<DeviceIdSource> deviceIdSource();
    void setDeviceIdSource(std::shared_ptr<DeviceIdSource> source);
    /// The device identifier from the current source, when it has one.
    std::optional<std::string> deviceIdentifier();
    /// The slots shared between applications (device identifier copies).
    std::shared_ptr<SlotStore> slotStore();
    void setSlotStore(std::shared_ptr<SlotStore> store);
    std::shared_ptr<ReachabilitySource> reachabilitySource();
    void setReachabilitySource(std::shared_ptr<ReachabilitySource> source);
    /// Empty when the device has no position source.
    std::shared_ptr<PositionSource> positionSource();
    void setPositionSource(std::shared_ptr<PositionSource> source);

    /// Shows the alerts of the library (received push messages).
    std::shared_ptr<AlertPresenter> alertPresenter();
    void setAlertPresenter(std::shared_ptr<AlertPresenter> presenter);

    /// Back to the defaults (and the environment); for tests.
    void reset();

private:
    DeviceContext();
    void applyEnvironmentLocked();
    std::filesystem::path dataDirectoryLocked() const;

    mutable std::mutex mutex_;
    AppIdentity identity_;
    std::optional<std::filesystem::path> dataDirectory_;
    ServiceHosts hosts_;
    std::shared_ptr<KeyValueStore> store_;
    bool storeIsDefault_ = true;
    std::shared_ptr<DeviceIdSource> deviceIdSource_;
    std::shared_ptr<SlotStore> slotStore_;
    std::shared_ptr<ReachabilitySource> reachabilitySource_;
    std::shared_ptr<PositionSource> positionSource_;
    std::shared_ptr<AlertPresenter> alertPresenter_;
};

}  // namespace vorn
