#include "vorn/websocket/SRIOConsumerPool.h"

#include <utility>

namespace vorn {

std::unique_ptr<SRIOConsumer> SRIOConsumerPool::consumerWithScanner(SRIOConsumer::Scanner scanner,
                                                                    SRIOConsumer::Handler handler,
                                                                    std::uint64_t bytesNeeded, bool readToCurrentFrame,
                                                                    bool unmaskBytes) {
    std::unique_ptr<SRIOConsumer> consumer;
    if (!bufferedConsumers_.empty()) {
        consumer = std::move(bufferedConsumers_.back());
        bufferedConsumers_.pop_back();
    } else {
        consumer = std::make_unique<SRIOConsumer>();
    }
    consumer->setupWithScanner(std::move(scanner), std::move(handler), bytesNeeded, readToCurrentFrame, unmaskBytes);
    return consumer;
}

void SRIOConsumerPool::returnConsumer(std::unique_ptr<SRIOConsumer> consumer) {
    if (consumer && bufferedConsumers_.size() < poolSize_) bufferedConsumers_.push_back(std::move(consumer));
}

}  // namespace vorn
