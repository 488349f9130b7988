#pragma once

#include "vorn/core/DeviceSources.h"
#include "vorn/core/KeyValueStore.h"
#include "vorn/core/SlotStore.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

/// The application bundle's identity.
struct AppIdentity {
    /// The bundle identifier ("com.example.app").
    std::string bundleIdentifier;
    /// The name shown to users.
    std::string displayName;
    /// The application version.
    std::string version;
};

/// Host names (with an optional ":port") of the service. A host written
/// "https://name[:port]" is reached over TLS (see ServiceHost).
struct ServiceHosts {
    /// The API host.
    std::string api;
    /// The host tried when the API host cannot be reached.
    std::string fallback;
    /// The file upload host.
    std::string file;
    /// The cloud function host.
    std::string cloud;
    /// The realtime (Socket.IO) host.
    std::string realtime;
};

/// How the peers of TLS connections are trusted. Certificates are always
/// verified, with the host name, against the system's trust store and the
/// certificates of `caFile`.
struct TransportSecurity {
    /// A PEM bundle whose certificates are trusted besides the system's
    /// (the emulator's certificate, a private CA).
    std::optional<std::filesystem::path> caFile;
    /// Pins for the service calls to the configured https hosts: each the
    /// base64 SHA-256 of a SubjectPublicKeyInfo (curl's "sha256//" prefix is
    /// allowed). When not empty, the server's key must match one of them.
    std::vector<std::string> publicKeyPins;
};

/// The default hosts: the local emulator on loopback.
inline constexpr const char* kDefaultServiceHost = "127.0.0.1:8470";
inline constexpr const char* kDefaultRealtimeHost = "127.0.0.1";

/// What the application may configure before it registers. Unset fields
/// keep their current value. Environment variables (VORN_HOME,
/// VORN_API_HOST, VORN_FALLBACK_HOST, VORN_FILE_HOST, VORN_CLOUD_HOST,
/// VORN_REALTIME_HOST, VORN_CA_FILE) take precedence, so tools and tests can redirect an
/// application without changing it.
struct VornConfiguration {
    /// Replaces `AppIdentity::bundleIdentifier`.
    std::optional<std::string> bundleIdentifier{};
    /// Replaces `AppIdentity::displayName`.
    std::optional<std::string> displayName{};
    /// Replaces `AppIdentity::version`.
    std::optional<std::string> version{};
    /// Replaces the data directory (VORN_HOME).
    std::optional<std::filesystem::path> dataDirectory{};
    /// Replaces `ServiceHosts::api` (VORN_API_HOST).
    std::optional<std::string> apiHost{};
    /// Replaces `ServiceHosts::fallback` (VORN_FALLBACK_HOST).
    std::optional<std::string> fallbackHost{};
    /// Replaces `ServiceHosts::file` (VORN_FILE_HOST).
    std::optional<std::string> fileHost{};
    /// Replaces `ServiceHosts::cloud` (VORN_CLOUD_HOST).
    std::optional<std::string> cloudHost{};
    /// Replaces `ServiceHosts::realtime` (VORN_REALTIME_HOST).
    std::optional<std::string> realtimeHost{};
    /// Replaces `TransportSecurity::caFile` (VORN_CA_FILE).
    std::optional<std::filesystem::path> caFile{};
    /// Replaces `TransportSecurity::publicKeyPins`.
    std::optional<std::vector<std::string>> publicKeyPins{};
};

/// The facts the library reads from the device: the key-value store, the
/// bundle identity, the data and documents directories, the hosts, the time
/// zone, and the sources of the device identifier, reachability and
/// position. Each has a working default for Linux and can be replaced (for
/// tests, or by an application with better sources). Thread-safe.
class DeviceContext {
public:
    /// The one device context of the process; never destroyed.
    static DeviceContext& shared();

    /// Applies the set fields of `configuration`, then the environment variables.
    void configure(const VornConfiguration& configuration);

    /// The key-value store; by default a file "defaults.json" in the data directory, made on first use.
    std::shared_ptr<KeyValueStore> store();
    /// Replaces the key-value store; empty goes back to the default store.
    void setStore(std::shared_ptr<KeyValueStore> store);

    /// The application bundle's identity.
    AppIdentity identity() const;
    /// Replaces the identity.
    void setIdentity(AppIdentity identity);

    /// The application's data directory (holds the defaults store).
    std::filesystem::path dataDirectory() const;
    /// Replaces the data directory.
    void setDataDirectory(std::filesystem::path directory);
    /// The documents directory, "Documents" under the data directory;
    /// created when missing.
    std::filesystem::path documentsDirectory() const;

    /// The service hosts.
    ServiceHosts hosts() const;
    /// Replaces the service hosts.
    void setHosts(ServiceHosts hosts);

    /// How TLS peers are trusted; never empty. The value is not changed
    /// afterwards (a change makes a new one), so it can be kept for a transfer.
    std::shared_ptr<const TransportSecurity> transportSecurity() const;
    /// Replaces how TLS peers are trusted.
    void setTransportSecurity(TransportSecurity security);

    /// The name of the system time zone ("Europe/Berlin").
    std::string systemTimeZoneName() const;

    /// The source of the device identifier; may be empty.
    std::shared_ptr<DeviceIdSource> deviceIdSource();
    /// Replaces the device identifier source.
    void setDeviceIdSource(std::shared_ptr<DeviceIdSource> source);
    /// The device identifier from the current source, when it has one.
    std::optional<std::string> deviceIdentifier();
    /// The slots shared between applications (device identifier copies).
    std::shared_ptr<SlotStore> slotStore();
    /// Replaces the shared slot store.
    void setSlotStore(std::shared_ptr<SlotStore> store);
    /// The source of reachability changes; may be empty.
    std::shared_ptr<ReachabilitySource> reachabilitySource();
    /// Replaces the reachability source.
    void setReachabilitySource(std::shared_ptr<ReachabilitySource> source);
    /// Empty when the device has no position source.
    std::shared_ptr<PositionSource> positionSource();
    /// Replaces the position source.
    void setPositionSource(std::shared_ptr<PositionSource> source);

    /// Shows the alerts of the library (received push messages).
    std::shared_ptr<AlertPresenter> alertPresenter();
    /// Replaces the alert presenter.
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
    std::shared_ptr<const TransportSecurity> security_;
    std::shared_ptr<KeyValueStore> store_;
    bool storeIsDefault_ = true;
    std::shared_ptr<DeviceIdSource> deviceIdSource_;
    std::shared_ptr<SlotStore> slotStore_;
    std::shared_ptr<ReachabilitySource> reachabilitySource_;
    std::shared_ptr<PositionSource> positionSource_;
    std::shared_ptr<AlertPresenter> alertPresenter_;
};

}  // namespace vorn
