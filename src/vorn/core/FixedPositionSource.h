#pragma once

#include "vorn/core/DeviceSources.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

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

    /// Moves the position; delivered to the handler while updating, unless
    /// it lies within the distance filter of the position delivered last.
    /// Concurrent moves are delivered in the order they were made (an older
    /// one that would arrive after a newer one is dropped).
    void setPosition(VornCoordinate position);
    /// Great-circle distance in metres.
    static double metresBetween(VornCoordinate a, VornCoordinate b);
    bool isUpdating() const;
    double distanceFilter() const;
    bool desiredAccuracyIsBest() const;

private:
    void deliver(std::uint64_t sequence, bool first);

    mutable std::mutex mutex_;
    std::mutex deliveryMutex_;  // one delivery at a time, in order
    std::uint64_t sequence_ = 0;
    std::optional<VornCoordinate> lastDelivered_;
    VornCoordinate position_;
    UpdateHandler onUpdate_;
    bool updating_ = false;
    double distanceFilter_ = 0;
    bool bestAccuracy_ = false;
};

}  // namespace vorn
