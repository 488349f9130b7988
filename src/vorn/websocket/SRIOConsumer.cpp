#include "vorn/websocket/SRIOConsumer.h"

#include <utility>

namespace vorn {

void SRIOConsumer::setupWithScanner(Scanner scanner, Handler handler, std::uint64_t bytesNeeded,
                                    bool readToCurrentFrame, bool unmaskBytes) {
    scanner_ = std::move(scanner);
    handler_ = std::move(handler);
    bytesNeeded_ = bytesNeeded;
    readToCurrentFrame_ = readToCurrentFrame;
    unmaskBytes_ = unmaskBytes;
}

}  // namespace vorn
