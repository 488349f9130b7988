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
    /// A source that reports `position`.
    explicit FixedPositionSource(VornCoordinate position);

    /// The source named by `VORN_POSITION` ("31.2,121.5"), or empty when the
    /// variable is unset or not two numbers in range.
    static std::shared_ptr<FixedPositionSource> fromEnvironment();
    /// Reads "latitude,longitude" (a point as decimal separator); empty when it is not two numbers in range.
    static std::optional<VornCoordinate> parse(const std::string& text);

    std::optional<VornCoordinate> currentLocation() const override;
    void setHandlers(UpdateHandler onUpdate, FailureHandler onFailure) override;
    /// Records the distance filter that `setPosition` applies.
    void setDistanceFilter(double metres) override;
    /// Records the request; positions are exact anyway.
    void setDesiredAccuracyBest() override;
    /// Delivers the position at once on the calling thread, then every move; does nothing while updating.
    void startUpdatingLocation() override;
    /// Stops delivering positions.
    void stopUpdatingLocation() override;

    /// Moves the position; delivered to the handler while updating, unless
    /// it lies within the distance filter of the position delivered last.
    /// Concurrent moves are delivered in the order they were made (an older
    /// one that would arrive after a newer one is dropped).
    void setPosition(VornCoordinate position);
    /// Great-circle distance in metres.
    static double metresBetween(VornCoordinate a, VornCoordinate b);
    /// Whether positions are being delivered.
    bool isUpdating() const;
    /// The distance filter in metres.
    double distanceFilter() const;
    /// Whether the best accuracy was asked for.
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
