#pragma once

// Great-circle distances on a spherical earth, for "$nearSphere" and "$within".

namespace vorn::emulator::query {

inline constexpr double kEarthRadiusKilometers = 6371.0;
inline constexpr double kKilometersPerMile = 1.609344;

struct GeoPoint {
    double latitude = 0;   // degrees, [-90, 90]
    double longitude = 0;  // degrees, [-180, 180]
};

// The central angle between two points in radians (haversine formula), in [0, pi].
double distanceRadians(const GeoPoint& a, const GeoPoint& b);

double kilometersToRadians(double kilometers);
double milesToRadians(double miles);
double radiansToKilometers(double radians);

// A latitude/longitude box, edges included. When the southwest corner's
// longitude is east of the northeast corner's, the box crosses the 180th
// meridian.
struct GeoBox {
    GeoPoint southwest;
    GeoPoint northeast;

    bool contains(const GeoPoint& point) const;
};

}  // namespace vorn::emulator::query
