#include "vorn/core/FixedPositionSource.h"

#include <cmath>
#include <cstdlib>

namespace vorn {

FixedPositionSource::FixedPositionSource(VornCoordinate position) : position_(position) {}

std::optional<VornCoordinate> FixedPositionSource::parse(const std::string& text) {
    const auto comma = text.find(',');
    if (comma == std::string::npos) return std::nullopt;
    const std::string latitudeText = text.substr(0, comma);
    const std::string longitudeText = text.substr(comma + 1);
    char* end = nullptr;
    const double latitude = std::strtod(latitudeText.c_str(), &end);
    if (end == latitudeText.c_str() || *end != '\0') return std::nullopt;
    const double longitude = std::strtod(longitudeText.c_str(), &end);
    if (end == longitudeText.c_str() || *end != '\0') return std::nullopt;
    if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90 ||
        std::fabs(longitude) > 180) {
        return std::nullopt;
    }
    return VornCoordinate{latitude, longitude};
}

std::shared_ptr<FixedPositionSource> FixedPositionSource::fromEnvironment() {
    const char* text = std::getenv("VORN_POSITION");
    if (text == nullptr) return nullptr;
    auto position = parse(text);
    if (!position) return nullptr;
    return std::make_shared<FixedPositionSource>(*position);
}

std::optional<VornCoordinate> FixedPositionSource::currentLocation() const {
    std::lock_guard lock(mutex_);
    return position_;
}

void FixedPositionSource::setHandlers(UpdateHandler onUpdate, FailureHandler) {
    std::lock_guard lock(mutex_);
    onUpdate_ = std::move(onUpdate);
}

void FixedPositionSource::setDistanceFilter(double metres) {
    std::lock_guard lock(mutex_);
    distanceFilter_ = metres;
}

void FixedPositionSource::setDesiredAccuracyBest() {
    std::lock_guard lock(mutex_);
    bestAccuracy_ = true;
}

void FixedPositionSource::startUpdatingLocation() {
    UpdateHandler handler;
    VornCoordinate position;
    {
        std::lock_guard lock(mutex_);
        if (updating_) return;
        updating_ = true;
        handler = onUpdate_;
        position = position_;
    }
    if (handler) handler(position);
}

void FixedPositionSource::stopUpdatingLocation() {
    std::lock_guard lock(mutex_);
    updating_ = false;
}

void FixedPositionSource::setPosition(VornCoordinate position) {
    UpdateHandler handler;
    {
        std::lock_guard lock(mutex_);
        position_ = position;
        if (updating_) handler = onUpdate_;
    }
    if (handler) handler(position);
}

bool FixedPositionSource::isUpdating() const {
    std::lock_guard lock(mutex_);
    return updating_;
}

double FixedPositionSource::distanceFilter() const {
    std::lock_guard lock(mutex_);
    return distanceFilter_;
}

bool FixedPositionSource::desiredAccuracyIsBest() const {
    std::lock_guard lock(mutex_);
    return bestAccuracy_;
}

}  // namespace vorn
