#pragma once

// Reaches into a socket for the few checks that the wire cannot show: the
// header scanner, the UTF-8 rule, the port, and the handshake request of a
// socket that is never opened.

#include "vorn/websocket/vSRWebSocket.h"

#include <boost/asio/post.hpp>

#include <future>
#include <string>
#include <string_view>

namespace vorn {

struct SRWebSocketTestPeer {
    static std::size_t scanForHeaderEnd(std::string_view bytes) {
        return vSRWebSocket::scanForHeaderEnd({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    }
    static std::int64_t validatedUTF8Length(std::string_view bytes) {
        return vSRWebSocket::validatedUTF8Length(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    static bool isValidUTF8(std::string_view bytes) {
        return vSRWebSocket::isValidUTF8(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    static std::uint16_t port(const vSRWebSocket& socket) { return socket.port_; }

    /// Runs `work` on the socket's work queue and waits for it.
    template <typename Work>
    static void onWorkQueue(vSRWebSocket& socket, Work work) {
        std::promise<void> done;
        boost::asio::post(socket.workQueue_, [&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    }

    /// The bytes the socket keeps allocated for reading, writing and the
    /// message being assembled.
    static std::size_t bufferedCapacity(vSRWebSocket& socket) {
        std::size_t capacity = 0;
        onWorkQueue(socket, [&] {
            capacity =
                socket.readBuffer_.capacity() + socket.outputBuffer_.capacity() + socket.currentFrameData_.capacity();
        });
        return capacity;
    }

    /// The handshake request that an unopened socket would send.
    static std::string handshakeRequest(vSRWebSocket& socket) {
        std::string request;
        onWorkQueue(socket, [&] {
            socket.didConnect();
            request.assign(socket.outputBuffer_.begin() + static_cast<std::ptrdiff_t>(socket.outputBufferOffset_),
                           socket.outputBuffer_.end());
        });
        return request;
    }
};

}  // namespace vorn
