#pragma once

#include "vorn/websocket/SRIOConsumer.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace vorn {

/// Recycles read requests: a finished request is kept while the pool holds
/// fewer than `poolSize()` of them, and handed out again last in, first out.
class SRIOConsumerPool {
public:
    /// The capacity of a default pool.
    static constexpr std::size_t kDefaultPoolSize = 8;

    SRIOConsumerPool() : SRIOConsumerPool(kDefaultPoolSize) {}
    /// A pool that keeps at most `poolSize` requests.
    explicit SRIOConsumerPool(std::size_t poolSize) : poolSize_(poolSize) {}

    /// The same as the constructor.
    static SRIOConsumerPool initWithBufferCapacity(std::size_t poolSize) { return SRIOConsumerPool(poolSize); }

    /// The most recently returned request, or a new one, set up with the
    /// given fields.
    std::unique_ptr<SRIOConsumer> consumerWithScanner(SRIOConsumer::Scanner scanner, SRIOConsumer::Handler handler,
                                                      std::uint64_t bytesNeeded, bool readToCurrentFrame,
                                                      bool unmaskBytes);
    /// Keeps the request for reuse while there is room, else drops it.
    void returnConsumer(std::unique_ptr<SRIOConsumer> consumer);

    /// The most requests kept.
    std::size_t poolSize() const { return poolSize_; }
    /// The requests kept now.
    std::size_t bufferedCount() const { return bufferedConsumers_.size(); }

private:
    std::size_t poolSize_;
    std::vector<std::unique_ptr<SRIOConsumer>> bufferedConsumers_;
};

}  // namespace vorn
