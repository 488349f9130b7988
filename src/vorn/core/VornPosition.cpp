#include "vorn/core/VornPosition.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/StoreKeys.h"

#include <atomic>
#include <vector>

namespace vorn {
namespace {
std::mutex sharedMutex;
std::atomic<VornPosition*> sharedInstance{nullptr};
}  // namespace

VornPosition& VornPosition::sharePosition() {
    if (auto* instance = sharedInstance.load(std::memory_order_acquire)) return *instance;
    std::lock_guard lock(sharedMutex);
    if (auto* instance = sharedInstance.load(std::memory_order_relaxed)) return *instance;
    auto* instance = new VornPosition();
    instance->init();
    sharedInstance.store(instance, std::memory_order_release);
    return *instance;
}

void VornPosition::resetSharedPositionForTesting() {
    std::lock_guard lock(sharedMutex);
    // Earlier instances may still be referenced; they are kept, only forgotten.
    static auto* retired = new std::vector<VornPosition*>();  // never destroyed: still reachable at exit
    if (auto* instance = sharedInstance.exchange(nullptr)) {
        if (auto source = instance->locationManager()) source->setHandlers(nullptr, nullptr);
        retired->push_back(instance);
    }
}

VornPosition::VornPosition() = default;

void VornPosition::init() {
    if (!gpsIsOpen()) return;
    auto source = DeviceContext::shared().positionSource();
    if (!source) return;
    setLocationManager(source);
    if (!source->locationServicesEnabled()) return;
    source->setHandlers([this](const VornCoordinate& position) { didUpdateToLocation(position, currentLocation()); },
                        [this] { didFailWithError(); });
    source->setDistanceFilter(100);
    source->setDesiredAccuracyBest();
    source->startUpdatingLocation();
    if (auto current = source->currentLocation()) {
        std::lock_guard lock(mutex_);
        position_ = *current;
    }
}

bool VornPosition::gpsIsOpen() const {
    return DeviceContext::shared().store()->boolForKey(storekeys::kGPSOpen);
}

void VornPosition::startUpdateLocation() {
    if (!gpsIsOpen()) return;
    if (auto source = locationManager()) source->startUpdatingLocation();
}

void VornPosition::stopUpateLoaction() {
    if (!gpsIsOpen()) return;
    if (auto source = locationManager()) source->stopUpdatingLocation();
}

VornCoordinate VornPosition::currentLocation() const {
    std::lock_guard lock(mutex_);
    return position_;
}

double VornPosition::myLatitude() const {
    return currentLocation().latitude;
}
double VornPosition::myLongitude() const {
    return currentLocation().longitude;
}

void VornPosition::setMyLatitude(double latitude) {
    std::lock_guard lock(mutex_);
    position_.latitude = latitude;
}

void VornPosition::setMyLongitude(double longitude) {
    std::lock_guard lock(mutex_);
    position_.longitude = longitude;
}

std::shared_ptr<PositionSource> VornPosition::locationManager() const {
    std::lock_guard lock(mutex_);
    return locationManager_;
}

void VornPosition::setLocationManager(std::shared_ptr<PositionSource> locationManager) {
    std::lock_guard lock(mutex_);
    locationManager_ = std::move(locationManager);
}

void VornPosition::didUpdateToLocation(const VornCoordinate& newLocation, const VornCoordinate&) {
    std::lock_guard lock(mutex_);
    position_ = newLocation;
}

void VornPosition::didFailWithError() {
    if (auto source = locationManager()) source->stopUpdatingLocation();
}

void VornGPSSwitch::gpsSwitch(bool open) {
    DeviceContext::shared().store()->setObject(open, storekeys::kGPSOpen);
}

}  // namespace vorn
