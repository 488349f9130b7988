// Feeds arbitrary bytes to a WebSocket's reader after a valid opening
// handshake, in pieces of a size that the input chooses, and drives the
// socket's work queue and listener queue on this thread until both are idle.
//
// Input: byte 0 chooses the piece size (1 to 64 bytes, or everything at
// once); byte 1 holds flags: bit 0 joins the bytes to the response header
// (so the rest of the header is fuzzed as well), bit 1 has the application
// send a message and close halfway through. The rest are the bytes.
//
// Checked: nothing crashes or reads out of bounds (ASan, UBSan); every text
// message delivered is well-formed UTF-8; everything the client wrote is the
// handshake request followed by well-formed client frames (FIN set, masked,
// a known opcode, control payloads of at most 125 bytes, close payloads of
// 0 or at least 2 bytes).
#include "vorn/websocket/vSRWebSocket.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

#include <cstdlib>
#include <string>

namespace vorn {

struct SRWebSocketTestPeer {
    static void setWorkQueue(vSRWebSocket& socket, boost::asio::io_context& loop) {
        socket.workQueue_ = boost::asio::make_strand(loop);
    }
    static void connect(vSRWebSocket& socket) { socket.didConnect(); }
    static const std::string& secKey(const vSRWebSocket& socket) { return socket.secKey_; }
    static void receive(vSRWebSocket& socket, const std::uint8_t* bytes, std::size_t size) {
        socket.readBuffer_.insert(socket.readBuffer_.end(), bytes, bytes + size);
        socket._pumpScanner();
    }
    static std::string written(const vSRWebSocket& socket) {
        return std::string(socket.outputBuffer_.begin() + static_cast<std::ptrdiff_t>(socket.outputBufferOffset_),
                           socket.outputBuffer_.end());
    }
    static vSRWebSocket::WorkQueue& workQueue(vSRWebSocket& socket) { return socket.workQueue_; }
};

}  // namespace vorn

namespace {

using vorn::SRWebSocketTestPeer;

/// An independent check of well-formed UTF-8 (RFC 3629).
bool wellFormed(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t index = 0;
    while (index < size) {
        const unsigned char lead = bytes[index];
        std::size_t length;
        std::uint32_t codePoint;
        if (lead < 0x80) {
            ++index;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (index + length > size) return false;
        for (std::size_t next = 1; next < length; ++next) {
            if ((bytes[index + next] & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (bytes[index + next] & 0x3F);
        }
        if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        index += length;
    }
    return true;
}

class Listener : public vorn::SRWebSocketDelegate {
public:
    using vorn::SRWebSocketDelegate::webSocket;
    void webSocket(const std::shared_ptr<vorn::vSRWebSocket>&, vorn::SRMessage message) override {
        if (auto* text = std::get_if<std::string>(&message)) {
            if (!wellFormed(*text)) std::abort();
        }
    }
};

/// Everything the client wrote must be the request and then client frames.
void checkWritten(const std::string& written) {
    std::size_t index = written.find("\r\n\r\n");
    if (index == std::string::npos) std::abort();
    index += 4;
    while (index < written.size()) {
        if (written.size() - index < 2) std::abort();
        const auto first = static_cast<unsigned char>(written[index]);
        const auto second = static_cast<unsigned char>(written[index + 1]);
        const unsigned opcode = first & 0x0F;
        if ((first & 0xF0) != 0x80 || (second & 0x80) == 0) std::abort();
        if (opcode != 1 && opcode != 2 && opcode != 8 && opcode != 9 && opcode != 10) std::abort();
        std::uint64_t length = second & 0x7F;
        std::size_t header = 2;
        if (length == 126) {
            if (written.size() - index < 4) std::abort();
            length =
                (static_cast<unsigned char>(written[index + 2]) << 8) | static_cast<unsigned char>(written[index + 3]);
            header = 4;
            if (length < 126) std::abort();
        } else if (length == 127) {
            if (written.size() - index < 10) std::abort();
            length = 0;
            for (int byte = 0; byte < 8; ++byte)
                length = (length << 8) | static_cast<unsigned char>(written[index + 2 + byte]);
            header = 10;
            if (length < 65536) std::abort();
        }
        if (opcode >= 8 && length > 125) std::abort();
        if (opcode == 8 && length == 1) std::abort();
        if (written.size() - index < header + 4 + length) std::abort();
        index += header + 4 + static_cast<std::size_t>(length);
    }
}

/// Runs every handler that is ready, and whatever they queue, until none is left.
void drain(boost::asio::io_context& loop) {
    loop.restart();
    loop.poll();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t piece = data[0] >= 192 ? size : 1 + data[0] % 64;
    const bool joinToHeader = (data[1] & 1) != 0;
    const bool applicationActs = (data[1] & 2) != 0;
    data += 2;
    size -= 2;

    boost::asio::io_context loop(1);
    auto listener = std::make_shared<Listener>();
    std::string written;
    {
        auto socket = vorn::vSRWebSocket::initWithURL(std::string("ws://fuzz.invalid:8080/socket"));
        SRWebSocketTestPeer::setWorkQueue(*socket, loop);
        socket->setDelegateDispatchQueue(loop.get_executor());
        socket->setDelegate(listener);

        boost::asio::post(SRWebSocketTestPeer::workQueue(*socket), [&] {
            SRWebSocketTestPeer::connect(*socket);
            std::string response =
                "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: " +
                vorn::stringBySHA1ThenBase64Encoding(SRWebSocketTestPeer::secKey(*socket) +
                                                     "258EAFA5-E914-47DA-95CA-C5AB0DC85B11") +
                "\r\n";
            if (!joinToHeader) response += "\r\n";
            SRWebSocketTestPeer::receive(*socket, reinterpret_cast<const std::uint8_t*>(response.data()),
                                         response.size());
        });
        drain(loop);
        for (std::size_t offset = 0; offset < size; offset += piece) {
            const std::size_t count = std::min(piece, size - offset);
            boost::asio::post(SRWebSocketTestPeer::workQueue(*socket),
                              [&, offset, count] { SRWebSocketTestPeer::receive(*socket, data + offset, count); });
            drain(loop);
            if (applicationActs && offset <= size / 2 && offset + piece > size / 2) {
                socket->send(std::string("halfway"));
                socket->closeWithCode(4000, std::string("enough"));
            }
        }
        drain(loop);
        boost::asio::post(SRWebSocketTestPeer::workQueue(*socket),
                          [&] { written = SRWebSocketTestPeer::written(*socket); });
        drain(loop);
    }
    drain(loop);  // the socket's last work
    checkWritten(written);
    return 0;
}
