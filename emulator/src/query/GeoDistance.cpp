#include "query/GeoDistance.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vorn::emulator::query {

namespace {

double toRadians(double degrees) {
    return degrees * std::numbers::pi / 180.0;
}

}  // namespace

double distanceRadians(const GeoPoint& a, const GeoPoint& b) {
    const double lat1 = toRadians(a.latitude);
    const double lat2 = toRadians(b.latitude);
    const double sinLat = std::sin((lat2 - lat1) / 2);
    const double sinLon = std::sin(toRadians(b.longitude - a.longitude) / 2);
    double h = sinLat * sinLat + std::cos(lat1) * std::cos(lat2) * sinLon * sinLon;
    h = std::clamp(h, 0.0, 1.0);  // rounding may step just outside
    return 2 * std::asin(std::sqrt(h));
}

double kilometersToRadians(double kilometers) {
    return kilometers / kEarthRadiusKilometers;
}

double milesToRadians(double miles) {
    return kilometersToRadians(miles * kKilometersPerMile);
}

double radiansToKilometers(double radians) {
    return radians * kEarthRadiusKilometers;
}

bool GeoBox::contains(const GeoPoint& point) const {
    if (point.latitude < southwest.latitude || point.latitude > northeast.latitude) return false;
    if (southwest.longitude <= northeast.longitude) {
        return point.longitude >= southwest.longitude && point.longitude <= northeast.longitude;
    }
    return point.longitude >= southwest.longitude || point.longitude <= northeast.longitude;
}

}  // namespace vorn::emulator::query
