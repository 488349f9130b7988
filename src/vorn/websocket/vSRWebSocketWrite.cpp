// Writing: the send queue, frame encoding with masking, and the write
// buffer, which also ends the connection once everything is on the wire.

#include "vorn/websocket/vSRWebSocket.h"
#include "vorn/websocket/vSRWebSocketInternal.h"

#include "vorn/core/SecureRandom.h"

#include <boost/asio/post.hpp>

#include <cstring>
#include <new>
#include <stdexcept>

namespace vorn {

namespace asio = boost::asio;
using namespace srwebsocket;

namespace {

/// XORs `length` bytes with the 4-byte key, starting at key index 0.
void maskBytes(std::uint8_t* out, const std::uint8_t* in, std::size_t length, const std::uint8_t key[4]) {
    std::uint32_t key32;
    std::memcpy(&key32, key, 4);
    const std::uint64_t key64 = (static_cast<std::uint64_t>(key32) << 32) | key32;
    std::size_t index = 0;
    for (; index + 8 <= length; index += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + index, 8);
        word ^= key64;
        std::memcpy(out + index, &word, 8);
    }
    for (; index < length; ++index) out[index] = in[index] ^ key[index % 4];
}

}  // namespace

void vSRWebSocket::send(std::string text) {
    if (!isValidUTF8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) {
        throw std::invalid_argument("vSRWebSocket: a text message must be UTF-8");
    }
    queueSend(PendingSend{1, std::move(text), 0, std::nullopt});
}

void vSRWebSocket::send(SRData data) {
    queueSend(PendingSend{2, std::move(data), 0, std::nullopt});
}

void vSRWebSocket::send(std::nullptr_t) {
    queueSend(PendingSend{1, std::string(), 0, std::nullopt});
}

void vSRWebSocket::queueSend(PendingSend send) {
    bool post = false;
    {
        std::lock_guard lock(sendMutex_);
        pendingSends_.push_back(std::move(send));
        post = !std::exchange(sendsPosted_, true);
    }
    // Sends queued while one hand-off is on its way ride along with it.
    if (post) asio::post(workQueue_, [self = shared_from_this()] { self->drainSends(); });
}

void vSRWebSocket::drainSends() {
    assertOnWorkQueue();
    std::vector<PendingSend> batch;
    {
        std::lock_guard lock(sendMutex_);
        batch.swap(pendingSends_);
        sendsPosted_ = false;
    }
    if (batch.empty()) return;
    for (auto& send : batch) {
        if (send.opcode == 0) {
            _closeWithCodeOnWorkQueue(send.closeCode, send.closeReason);
        } else {
            _sendFrameWithOpcode(send.opcode,
                                 std::visit([](const auto& value) { return bytesOf(value); }, send.payload), false);
        }
    }
    // One write for every frame of the batch.
    _pumpWriting();
}

void vSRWebSocket::_sendFrameWithOpcode(std::uint8_t opcode, std::span<const std::uint8_t> data, bool pump) {
    assertOnWorkQueue();
    // The write buffer takes nothing once the teardown has begun, nor
    // anything after the close frame, whatever the listener still sends.
    if (closeWhenFinishedWriting_ || closeFrameQueued_) return;

    const std::size_t payloadLength = data.size();
    const std::size_t headerLength = payloadLength < 126 ? 2 : (payloadLength <= 0xFFFF ? 4 : 10);
    const std::size_t frameStart = outputBuffer_.size();
    try {
        // The frame is encoded straight into the write buffer.
        outputBuffer_.resize(frameStart + headerLength + 4 + payloadLength);
    } catch (const std::bad_alloc&) {
        closeWithCode(SRStatusCodeMessageTooBig, std::string("Message too big"));
        return;
    } catch (const std::length_error&) {
        closeWithCode(SRStatusCodeMessageTooBig, std::string("Message too big"));
        return;
    }
    std::uint8_t* frame = outputBuffer_.data() + frameStart;
    // Messages are never fragmented on sending; every frame is masked.
    frame[0] = static_cast<std::uint8_t>(0x80 | opcode);
    if (payloadLength < 126) {
        frame[1] = static_cast<std::uint8_t>(0x80 | payloadLength);
    } else if (payloadLength <= 0xFFFF) {
        frame[1] = 0x80 | 126;
        frame[2] = static_cast<std::uint8_t>(payloadLength >> 8);
        frame[3] = static_cast<std::uint8_t>(payloadLength);
    } else {
        frame[1] = 0x80 | 127;
        const auto length64 = static_cast<std::uint64_t>(payloadLength);
        for (int index = 0; index < 8; ++index)
            frame[2 + index] = static_cast<std::uint8_t>(length64 >> (56 - 8 * index));
    }
    std::uint8_t* maskKey = frame + headerLength;
    // Mask keys come from the secure random source a few hundred at a time.
    if (maskKeyOffset_ == maskKeys_.size()) {
        secureRandomBytes(maskKeys_.data(), maskKeys_.size());
        maskKeyOffset_ = 0;
    }
    std::memcpy(maskKey, maskKeys_.data() + maskKeyOffset_, 4);
    maskKeyOffset_ += 4;
    if (payloadLength > 0) maskBytes(maskKey + 4, data.data(), payloadLength, maskKey);
    if (opcode == 8) closeFrameQueued_ = true;
    if (pump) _pumpWriting();
}

void vSRWebSocket::_writeData(std::span<const std::uint8_t> data) {
    assertOnWorkQueue();
    if (closeWhenFinishedWriting_) return;
    outputBuffer_.insert(outputBuffer_.end(), data.begin(), data.end());
    _pumpWriting();
}

void vSRWebSocket::_pumpWriting() {
    assertOnWorkQueue();
    const std::size_t dataLength = outputBuffer_.size();
    if (dataLength > outputBufferOffset_ && streams_->hasSpaceAvailable()) {
        const std::ptrdiff_t written =
            streams_->write(outputBuffer_.data() + outputBufferOffset_, dataLength - outputBufferOffset_);
        if (written < 0) {
            _failWithError(makeError(kVornErrorDomain, kSRErrorWritingToStream, "Error writing to stream"));
            return;
        }
        outputBufferOffset_ += static_cast<std::size_t>(written);
        if (outputBufferOffset_ == outputBuffer_.size() && outputBuffer_.capacity() > kKeptBufferCapacity &&
            !streams_->hasPendingWrites()) {
            // Everything went out: a buffer grown for a large message is given back.
            outputBuffer_ = OutputBuffer();
            outputBufferOffset_ = 0;
        }
        if (outputBufferOffset_ > kCompactionThreshold && outputBufferOffset_ > outputBuffer_.size() / 2) {
            const std::size_t remaining = outputBuffer_.size() - outputBufferOffset_;
            std::memmove(outputBuffer_.data(), outputBuffer_.data() + outputBufferOffset_, remaining);
            outputBuffer_.resize(remaining);
            outputBufferOffset_ = 0;
        }
    }

    const SRStreamStatus inputStatus = streams_->status();
    // Every byte must be on the wire, not just handed to the stream, before
    // the connection closes.
    if (closeWhenFinishedWriting_ && outputBuffer_.size() == outputBufferOffset_ && !streams_->hasPendingWrites() &&
        inputStatus != SRStreamStatus::NotOpen && inputStatus != SRStreamStatus::Closed && !sentClose_) {
        sentClose_ = true;
        streams_->close();
        {
            std::lock_guard lock(mutex_);
            scheduledRunloops_.clear();
        }
        if (!failed_) {
            auto self = shared_from_this();
            _performDelegateBlock([self, code = closeCode_, reason = closeReason_] {
                if (auto delegate = self->delegate()) delegate->webSocket(self, code, reason, true);
            });
        }
        selfRetain_.reset();
    }
}

}  // namespace vorn
