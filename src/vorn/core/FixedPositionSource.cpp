#include "vorn/core/FixedPositionSource.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace vorn {

FixedPositionSource::FixedPositionSource(VornCoordinate position) : position_(position) {}

std::optional<VornCoordinate> FixedPositionSource::parse(const std::string& text) {
    const auto comma = text.find(',');
    if (comma == std::string::npos) return std::nullopt;
    // Read with a point as the decimal separator, whatever the process locale.
    auto number = [](std::string_view part) -> std::optional<double> {
        if (!part.empty() && part.front() == '+') part.remove_prefix(1);
        double value = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || error != std::errc() || end != part.data() + part.size()) return std::nullopt;
        return value;
    };
    const auto latitudeValue = number(std::string_view(text).substr(0, comma));
    const auto longitudeValue = number(std::string_view(text).substr(comma + 1));
    if (!latitudeValue || !longitudeValue) return std::nullopt;
    const double latitude = *latitudeValue;
    const double longitude = *longitudeValue;
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
