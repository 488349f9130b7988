#pragma once

#include <nlohmann/json.hpp>

namespace vorn {

/// A position on the earth, in degrees. Valid points have a latitude
/// strictly between -90 and 90 and a longitude strictly between -180 and
/// 180; the plain accessors do not check.
class VornGeoPoint {
public:
    VornGeoPoint() = default;
    /// The point, or (0, 0) when either value is out of range.
    VornGeoPoint(double longitude, double latitude);
    /// The point (0, 0).
    static VornGeoPoint init() { return VornGeoPoint(); }
    /// The same as the two-value constructor.
    static VornGeoPoint initWithLongitude(double longitude, double latitude) {
        return VornGeoPoint(longitude, latitude);
    }

    /// Sets both values when both are in range; otherwise changes nothing.
    void setLongitude(double longitude, double latitude);

    /// The latitude, in degrees.
    double latitude() const { return latitude_; }
    /// Sets the latitude without checking the range.
    void setLatitude(double latitude) { latitude_ = latitude; }
    /// The longitude, in degrees.
    double longitude() const { return longitude_; }
    /// Sets the longitude without checking the range.
    void setLongitude(double longitude) { longitude_ = longitude; }

    // Distances are not computed by this client: always 0.
    /// The distance in radians; always 0.
    double distanceInRadiansTo(const VornGeoPoint& point) const;
    /// The distance in miles; always 0.
    double distanceInMilesTo(const VornGeoPoint& point) const;
    /// The distance in kilometers; always 0.
    double distanceInKilometersTo(const VornGeoPoint& point) const;

    /// Whether the latitude is strictly between -90 and 90 and the longitude strictly between -180 and 180.
    static bool isValid(double longitude, double latitude);
    /// {"__type": "GeoPoint", "latitude", "longitude"}.
    nlohmann::json wireForm() const;

    /// Points are equal when both values are equal.
    bool operator==(const VornGeoPoint&) const = default;

private:
    double latitude_ = 0;
    double longitude_ = 0;
};

}  // namespace vorn
