#pragma once

#include "vorn/core/DeviceSources.h"

#include <memory>
#include <mutex>

namespace vorn {

/// A position source that reports one configured position: for machines
/// without location hardware, and for tools (`VORN_POSITION=lat,lon`).
class FixedPositionSource : public PositionSource {
public:
    explicit FixedPositionSource(VornCoordinate position);

    /// The source named by `VORN_POSITION` ("31.2,121.5"), or empty when the
    /// variable is unset or not two numbers in range.
    static std::shared_ptr<FixedPositionSource> fromEnvironment();
    static std::optional<VornCoordinate> parse(const std::string& text);

    std::optional<VornCoordinate> currentLocation() const override;
    void setHandlers(UpdateHandler onUpdate, FailureHandler onFailure) override;
    void setDistanceFilter(double metres) override;
    void setDesiredAccuracyBest() override;
    void startUpdatingLocation() override;
    void stopUpdatingLocation() override;

    /// Moves the position; delivered to the handler while updating.
    void setPosition(VornCoordinate position);
    bool isUpdating() const;
    double distanceFilter() const;
    bool desiredAccuracyIsBest() const;

private:
    mutable std::mutex mutex_;
    VornCoordinate position_;
    UpdateHandler onUpdate_;
    bool updating_ = false;
    double distanceFilter_ = 0;
    bool bestAccuracy_ = false;
};

}  // namespace vorn
