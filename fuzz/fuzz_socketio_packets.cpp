// Any text as a realtime packet, a polling body and an acknowledgement's
// data, and as packets reaching an idle session. Reading must never crash;
// what reads as a packet must write back to text that reads the same.
#include "vorn/core/MainLoop.h"
#include "vorn/realtime/SocketIO.h"
#include "vorn/realtime/SocketIOPacket.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static const auto session = vorn::SocketIO::initWithDelegate({});

    for (const std::string& piece : vorn::SocketIOPacket::decodePayload(text)) {
        auto packet = vorn::SocketIOPacket::fromString(piece);
        if (!packet) continue;
        (void)packet->dataAsJSON();
        if (packet->data) (void)vorn::SocketIOPacket::readAckData(*packet->data);
        const std::size_t type = packet->typeAsNumber();
        if (type > 8) std::abort();
        // Writing in the packet's own endpoint and reading back keeps the
        // type (ids and markers follow the writing rules, so only the type
        // is compared).
        if (type != 6 && packet->endpoint->find(':') == std::string::npos) {
            auto again = vorn::SocketIOPacket::fromString(packet->toString(*packet->endpoint));
            if (!again || again->type != packet->type) std::abort();
        }
        session->onData(piece);
        vorn::MainLoop::shared().poll();
    }
    return 0;
}
