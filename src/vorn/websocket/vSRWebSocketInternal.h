#pragma once

// What the operations of the WebSocket client share: the frame and buffer
// constants, error values and the hand-off to the listener's queue. Used by
// vSRWebSocket*.cpp only; not installed.

#include "vorn/core/VornError.h"
#include "vorn/websocket/vSRWebSocket.h"

#include <boost/asio/post.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>

namespace vorn::srwebsocket {

// Read and write buffers are compacted once this much at their front is used up.
constexpr std::size_t kCompactionThreshold = 4096;
// Buffers that grew beyond this for one large message are given back afterwards.
constexpr std::size_t kKeptBufferCapacity = std::size_t{64} * 1024;

inline VornError makeError(std::string domain, int code, std::string message) {
    VornError error;
    error.domain = std::move(domain);
    error.code = code;
    error.userInfo["error"] = std::move(message);
    return error;
}

inline std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::span<const std::uint8_t> bytesOf(const SRData& data) {
    return data;
}

}  // namespace vorn::srwebsocket

namespace vorn {

template <typename Block>
void vSRWebSocket::_performDelegateBlock(Block&& block) {
    // Messages received before this call reach the delegate before it.
    flushMessages();
    auto [operationQueue, dispatchQueue] = delegateQueue();
    if (operationQueue) {
        operationQueue(std::function<void()>(std::forward<Block>(block)));
    } else {
        boost::asio::post(dispatchQueue, std::forward<Block>(block));
    }
}

}  // namespace vorn
