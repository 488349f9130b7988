#include "vorn/core/DeviceContext.h"

#include "vorn/core/FixedPositionSource.h"
#include "vorn/core/LinuxReachabilitySource.h"
#include "vorn/core/vkOpenUDID.h"

#include <pwd.h>
#include <unistd.h>

#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace vorn {
namespace {

/// The alert of a platform without a user interface: one line on standard error.
class StandardErrorAlertPresenter : public AlertPresenter {
public:
    void showAlert(const std::string& title, const std::string& message, const std::string& cancelButtonTitle,
                   const std::vector<std::string>& otherButtonTitles) override {
        std::string line = "[alert] " + title + ": " + message + " [" + cancelButtonTitle + "]";
        for (const auto& button : otherButtonTitles) line += " [" + button + "]";
        // One line, whatever the texts hold.
        for (auto& c : line) {
            if (c == '\n' || c == '\r') c = ' ';
        }
        line += "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
};

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): the library never changes the environment
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::string executableName() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || path.filename().empty()) return "vorn-app";
    return path.filename().string();
}

std::filesystem::path userDataHome() {
    if (auto xdg = environment("XDG_DATA_HOME")) return *xdg;
    if (auto home = environment("HOME")) return std::filesystem::path(*home) / ".local" / "share";
    passwd record{};
    passwd* entry = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &record, buffer.data(), buffer.size(), &entry) == 0 && entry != nullptr &&
        entry->pw_dir != nullptr) {
        return std::filesystem::path(entry->pw_dir) / ".local" / "share";
    }
    return std::filesystem::temp_directory_path();
}

AppIdentity defaultIdentity() {
    const auto name = executableName();
    return AppIdentity{name, name, "1.0"};
}

ServiceHosts defaultHosts() {
    return ServiceHosts{kDefaultServiceHost, kDefaultServiceHost, kDefaultServiceHost, kDefaultServiceHost,
                        kDefaultRealtimeHost};
}

}  // namespace

DeviceContext& DeviceContext::shared() {
    static DeviceContext* context = new DeviceContext();
    return *context;
}

DeviceContext::DeviceContext() {
    reset();
}

void DeviceContext::reset() {
    std::lock_guard lock(mutex_);
    identity_ = defaultIdentity();
    dataDirectory_.reset();
    hosts_ = defaultHosts();
    security_ = std::make_shared<const TransportSecurity>();
    store_.reset();
    storeIsDefault_ = true;
    deviceIdSource_ = std::make_shared<OpenUDIDSource>();
    slotStore_.reset();
    reachabilitySource_ = std::make_shared<LinuxReachabilitySource>();
    positionSource_ = FixedPositionSource::fromEnvironment();
    alertPresenter_ = std::make_shared<StandardErrorAlertPresenter>();
    applyEnvironmentLocked();
}

std::shared_ptr<AlertPresenter> DeviceContext::alertPresenter() {
    std::lock_guard lock(mutex_);
    return alertPresenter_;
}

void DeviceContext::setAlertPresenter(std::shared_ptr<AlertPresenter> presenter) {
    std::lock_guard lock(mutex_);
    alertPresenter_ = presenter ? std::move(presenter) : std::make_shared<StandardErrorAlertPresenter>();
}

void DeviceContext::applyEnvironmentLocked() {
    if (auto home = environment("VORN_HOME")) dataDirectory_ = *home;
    if (auto host = environment("VORN_API_HOST")) hosts_.api = *host;
    if (auto host = environment("VORN_FALLBACK_HOST")) hosts_.fallback = *host;
    if (auto host = environment("VORN_FILE_HOST")) hosts_.file = *host;
    if (auto host = environment("VORN_CLOUD_HOST")) hosts_.cloud = *host;
    if (auto host = environment("VORN_REALTIME_HOST")) hosts_.realtime = *host;
    if (auto file = environment("VORN_CA_FILE")) {
        TransportSecurity security = *security_;
        security.caFile = *file;
        security_ = std::make_shared<const TransportSecurity>(std::move(security));
    }
}

void DeviceContext::configure(const VornConfiguration& configuration) {
    std::lock_guard lock(mutex_);
    if (configuration.bundleIdentifier) identity_.bundleIdentifier = *configuration.bundleIdentifier;
    if (configuration.displayName) identity_.displayName = *configuration.displayName;
    if (configuration.version) identity_.version = *configuration.version;
    if (configuration.dataDirectory) {
        dataDirectory_ = *configuration.dataDirectory;
    }
    if (configuration.apiHost) hosts_.api = *configuration.apiHost;
    if (configuration.fallbackHost) hosts_.fallback = *configuration.fallbackHost;
    if (configuration.fileHost) hosts_.file = *configuration.fileHost;
    if (configuration.cloudHost) hosts_.cloud = *configuration.cloudHost;
    if (configuration.realtimeHost) hosts_.realtime = *configuration.realtimeHost;
    if (configuration.caFile || configuration.publicKeyPins) {
        TransportSecurity security = *security_;
        if (configuration.caFile) security.caFile = *configuration.caFile;
        if (configuration.publicKeyPins) security.publicKeyPins = *configuration.publicKeyPins;
        security_ = std::make_shared<const TransportSecurity>(std::move(security));
    }
    applyEnvironmentLocked();
    // The default store follows the data directory.
    if (storeIsDefault_) store_.reset();
}

std::shared_ptr<KeyValueStore> DeviceContext::store() {
    std::lock_guard lock(mutex_);
    if (!store_) {
        store_ = std::make_shared<FileKeyValueStore>(dataDirectoryLocked() / "defaults.json");
        storeIsDefault_ = true;
    }
    return store_;
}

void DeviceContext::setStore(std::shared_ptr<KeyValueStore> store) {
    std::lock_guard lock(mutex_);
    store_ = std::move(store);
    storeIsDefault_ = store_ == nullptr;
}

AppIdentity DeviceContext::identity() const {
    std::lock_guard lock(mutex_);
    return identity_;
}

void DeviceContext::setIdentity(AppIdentity identity) {
    std::lock_guard lock(mutex_);
    identity_ = std::move(identity);
    if (storeIsDefault_) store_.reset();
}

std::filesystem::path DeviceContext::dataDirectory() const {
    std::lock_guard lock(mutex_);
    return dataDirectoryLocked();
}

std::filesystem::path DeviceContext::dataDirectoryLocked() const {
    if (dataDirectory_) return *dataDirectory_;
    return userDataHome() / "vorn" / identity_.bundleIdentifier;
}

void DeviceContext::setDataDirectory(std::filesystem::path directory) {
    std::lock_guard lock(mutex_);
    dataDirectory_ = std::move(directory);
    if (storeIsDefault_) store_.reset();
}

std::filesystem::path DeviceContext::documentsDirectory() const {
    auto directory = dataDirectory() / "Documents";
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    return directory;
}

ServiceHosts DeviceContext::hosts() const {
    std::lock_guard lock(mutex_);
    return hosts_;
}

void DeviceContext::setHosts(ServiceHosts hosts) {
    std::lock_guard lock(mutex_);
    hosts_ = std::move(hosts);
}

std::shared_ptr<const TransportSecurity> DeviceContext::transportSecurity() const {
    std::lock_guard lock(mutex_);
    return security_;
}

void DeviceContext::setTransportSecurity(TransportSecurity security) {
    std::lock_guard lock(mutex_);
    security_ = std::make_shared<const TransportSecurity>(std::move(security));
}

std::string DeviceContext::systemTimeZoneName() const {
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::detectHostTimeZone());
    icu::UnicodeString id;
    if (zone) zone->getID(id);
    std::string name;
    id.toUTF8String(name);
    return name.empty() ? "UTC" : name;
}

std::shared_ptr<DeviceIdSource> DeviceContext::deviceIdSource() {
    std::lock_guard lock(mutex_);
    return deviceIdSource_;
}

void DeviceContext::setDeviceIdSource(std::shared_ptr<DeviceIdSource> source) {
    std::lock_guard lock(mutex_);
    deviceIdSource_ = std::move(source);
}

std::optional<std::string> DeviceContext::deviceIdentifier() {
    auto source = deviceIdSource();
    if (!source) return std::nullopt;
    return source->deviceIdentifier();
}

std::shared_ptr<SlotStore> DeviceContext::slotStore() {
    std::lock_guard lock(mutex_);
    if (!slotStore_) slotStore_ = std::make_shared<FileSlotStore>(FileSlotStore::defaultDirectory());
    return slotStore_;
}

void DeviceContext::setSlotStore(std::shared_ptr<SlotStore> store) {
    std::lock_guard lock(mutex_);
    slotStore_ = std::move(store);
}

std::shared_ptr<ReachabilitySource> DeviceContext::reachabilitySource() {
    std::lock_guard lock(mutex_);
    return reachabilitySource_;
}

void DeviceContext::setReachabilitySource(std::shared_ptr<ReachabilitySource> source) {
    std::lock_guard lock(mutex_);
    reachabilitySource_ = std::move(source);
}

std::shared_ptr<PositionSource> DeviceContext::positionSource() {
    std::lock_guard lock(mutex_);
    return positionSource_;
}

void DeviceContext::setPositionSource(std::shared_ptr<PositionSource> source) {
    std::lock_guard lock(mutex_);
    positionSource_ = std::move(source);
}

}  // namespace vorn
