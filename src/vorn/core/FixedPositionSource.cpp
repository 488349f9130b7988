#include "vorn/core/FixedPositionSource.h"

#include <algorithm>
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
    const char* text = std::getenv("VORN_POSITION");  // NOLINT(concurrency-mt-unsafe): never changed by the library
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
    std::uint64_t sequence = 0;
    {
        std::lock_guard lock(mutex_);
        if (updating_) return;
        updating_ = true;
        lastDelivered_.reset();  // a new run starts with a fix
        sequence = ++sequence_;
    }
    deliver(sequence, true);
}

double FixedPositionSource::metresBetween(VornCoordinate a, VornCoordinate b) {
    constexpr double kEarthRadius = 6371008.8;
    constexpr double kRadians = 3.14159265358979323846 / 180.0;
    const double dLat = (b.latitude - a.latitude) * kRadians;
    const double dLon = (b.longitude - a.longitude) * kRadians;
    const double h = std::sin(dLat / 2) * std::sin(dLat / 2) + std::cos(a.latitude * kRadians) *
                                                                   std::cos(b.latitude * kRadians) *
                                                                   std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2 * kEarthRadius * std::asin(std::min(1.0, std::sqrt(h)));
}

void FixedPositionSource::deliver(std::uint64_t sequence, bool first) {
    std::lock_guard delivery(deliveryMutex_);
    UpdateHandler handler;
    VornCoordinate position;
    {
        std::lock_guard lock(mutex_);
        // A newer move was made meanwhile: it is delivered by its own call.
        if (sequence != sequence_ || !updating_) return;
        position = position_;
        if (!first && lastDelivered_ && distanceFilter_ > 0 &&
            metresBetween(*lastDelivered_, position) < distanceFilter_) {
            return;
        }
        lastDelivered_ = position;
        handler = onUpdate_;
    }
    if (handler) handler(position);
}

void FixedPositionSource::stopUpdatingLocation() {
    std::lock_guard lock(mutex_);
    updating_ = false;
}

void FixedPositionSource::setPosition(VornCoordinate position) {
    std::uint64_t sequence = 0;
    {
        std::lock_guard lock(mutex_);
        position_ = position;
        sequence = ++sequence_;
    }
    deliver(sequence, false);
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
