#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace vorn {

class vSRWebSocket;

/// One pending read request of a WebSocket's reader: either a scanner that
/// finds how many of the unconsumed bytes form the item, or a number of
/// bytes still wanted. Requests are served strictly first in, first out.
class SRIOConsumer {
public:
    /// Given a view of all unconsumed bytes, returns how many of them form the
    /// item (0: not complete yet).
    using Scanner = std::function<std::size_t(std::span<const std::uint8_t> unconsumed)>;
    /// Called with the socket and the item's bytes; with no bytes for a
    /// request that reads into the current frame. The bytes are valid only
    /// during the call.
    using Handler = std::function<void(vSRWebSocket& socket, std::optional<std::span<const std::uint8_t>> data)>;

    /// Fills all five fields (copying the callbacks).
    void setupWithScanner(Scanner scanner, Handler handler, std::uint64_t bytesNeeded, bool readToCurrentFrame,
                          bool unmaskBytes);

    /// The scanner; empty for a request by byte count.
    const Scanner& consumer() const { return scanner_; }
    /// The handler of the item.
    const Handler& handler() const { return handler_; }
    /// The bytes still wanted (for a request by byte count).
    std::uint64_t bytesNeeded() const { return bytesNeeded_; }
    /// Sets the bytes still wanted.
    void setBytesNeeded(std::uint64_t bytesNeeded) { bytesNeeded_ = bytesNeeded; }
    /// Whether the request reads the rest of the current frame.
    bool readToCurrentFrame() const { return readToCurrentFrame_; }
    /// Whether the bytes are unmasked as they are read.
    bool unmaskBytes() const { return unmaskBytes_; }

private:
    Scanner scanner_;
    Handler handler_;
    std::uint64_t bytesNeeded_ = 0;
    bool readToCurrentFrame_ = false;
    bool unmaskBytes_ = false;
};

}  // namespace vorn
