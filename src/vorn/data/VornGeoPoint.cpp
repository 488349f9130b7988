#include "vorn/data/VornGeoPoint.h"

namespace vorn {

bool VornGeoPoint::isValid(double longitude, double latitude) {
    return latitude > -90 && latitude < 90 && longitude > -180 && longitude < 180;
}

VornGeoPoint::VornGeoPoint(double longitude, double latitude) {
    setLongitude(longitude, latitude);
}

void VornGeoPoint::setLongitude(double longitude, double latitude) {
    if (!isValid(longitude, latitude)) return;
    longitude_ = longitude;
    latitude_ = latitude;
}

double VornGeoPoint::distanceInRadiansTo(const VornGeoPoint&) const {
    return 0.0;
}
double VornGeoPoint::distanceInMilesTo(const VornGeoPoint&) const {
    return 0.0;
}
double VornGeoPoint::distanceInKilometersTo(const VornGeoPoint&) const {
    return 0.0;
}

nlohmann::json VornGeoPoint::wireForm() const {
    return nlohmann::json{{"__type", "GeoPoint"}, {"latitude", latitude_}, {"longitude", longitude_}};
}

}  // namespace vorn
