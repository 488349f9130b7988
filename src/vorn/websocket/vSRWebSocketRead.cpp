// Reading: the byte consumers, the frame reader, message assembly with
// incremental UTF-8 checks, and the read buffer.

#include "vorn/websocket/vSRWebSocket.h"
#include "vorn/websocket/vSRWebSocketInternal.h"

#include <boost/asio/post.hpp>

#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace vorn {

namespace asio = boost::asio;
using namespace srwebsocket;

namespace {

// The most that one frame header makes the message buffer reserve ahead.
constexpr std::uint64_t kMaxReserveAhead = 16u << 20;

bool isControlOpcode(std::uint8_t opcode) {
    return opcode == 8 || opcode == 9 || opcode == 10;
}

}  // namespace

void vSRWebSocket::_addConsumerWithScanner(SRIOConsumer::Scanner scanner, SRIOConsumer::Handler callback) {
    assertOnWorkQueue();
    consumers_.push_back(consumerPool_.consumerWithScanner(std::move(scanner), std::move(callback), 0, false, false));
    _pumpScanner();
}

void vSRWebSocket::_addConsumerWithDataLength(std::uint64_t dataLength, SRIOConsumer::Handler callback,
                                              bool readToCurrentFrame, bool unmaskBytes) {
    assertOnWorkQueue();
    if (dataLength == 0) throw std::logic_error("vSRWebSocket: a read request needs a length");
    consumers_.push_back(
        consumerPool_.consumerWithScanner(nullptr, std::move(callback), dataLength, readToCurrentFrame, unmaskBytes));
    _pumpScanner();
}

void vSRWebSocket::_readFrameNew() {
    assertOnWorkQueue();
    currentFrameData_.clear();
    currentFrameOpcode_ = 0;
    currentFrameCount_ = 0;
    currentStringScanPosition_ = 0;
    _readFrameContinue();
}

void vSRWebSocket::_readFrameContinue() {
    assertOnWorkQueue();
    if (!((currentFrameCount_ == 0 && currentFrameOpcode_ == 0) ||
          (currentFrameCount_ != 0 && currentFrameOpcode_ != 0))) {
        throw std::logic_error("vSRWebSocket: inconsistent message state");
    }
    _addConsumerWithDataLength(
        2,
        [](vSRWebSocket& socket, std::optional<std::span<const std::uint8_t>> data) {
        socket._handleFrameStart(*data);
        },
        false, false);
}

void vSRWebSocket::_handleFrameStart(std::span<const std::uint8_t> bytes) {
    const std::uint8_t first = bytes[0];
    const std::uint8_t second = bytes[1];
    if (first & 0x70) {
        _closeWithProtocolError("Server used RSV bits");
        return;
    }
    FrameHeader header;
    header.opcode = first & 0x0F;
    if (!isControlOpcode(header.opcode)) {
        if (header.opcode != 0 && currentFrameCount_ > 0) {
            _closeWithProtocolError("all data frames after the initial data frame must have opcode 0");
            return;
        }
        if (header.opcode == 0 && currentFrameCount_ == 0) {
            _closeWithProtocolError("cannot continue a message");
            return;
        }
        if (header.opcode == 0) header.opcode = currentFrameOpcode_;
    }
    header.fin = (first & 0x80) != 0;
    header.masked = (second & 0x80) != 0;
    header.lengthField = second & 0x7F;
    header.payloadLength = header.lengthField;
    if (header.masked) _closeWithProtocolError("Client must receive unmasked data");

    std::size_t extraBytesNeeded = header.masked ? 4 : 0;
    if (header.lengthField == 126) {
        extraBytesNeeded += 2;
    } else if (header.lengthField == 127) {
        extraBytesNeeded += 8;
    }
    if (extraBytesNeeded == 0) {
        _handleFrameHeader(header);
        return;
    }
    _addConsumerWithDataLength(
        extraBytesNeeded,
        [header](vSRWebSocket& socket, std::optional<std::span<const std::uint8_t>> data) {
        FrameHeader full = header;
        const std::uint8_t* bytes = data->data();
        if (full.lengthField == 126) {
            full.payloadLength = (static_cast<std::uint64_t>(bytes[0]) << 8) | bytes[1];
            bytes += 2;
        } else if (full.lengthField == 127) {
            full.payloadLength = 0;
            for (int index = 0; index < 8; ++index) full.payloadLength = (full.payloadLength << 8) | bytes[index];
            bytes += 8;
        }
        if (full.masked) std::memcpy(socket.currentReadMaskKey_.data(), bytes, 4);
        socket._handleFrameHeader(full);
        },
        false, false);
}

void vSRWebSocket::_handleFrameHeader(const FrameHeader& header) {
    assertOnWorkQueue();
    // Frames are dropped once the connection is no longer open.
    if (readyState() != SRReadyState::OPEN) return;
    const bool isControl = isControlOpcode(header.opcode);
    if (isControl && !header.fin) {
        _closeWithProtocolError("Fragmented control frames not allowed");
        return;
    }
    if (isControl && header.payloadLength >= 126) {
        _closeWithProtocolError("Control frames cannot have payloads larger than 126 bytes");
        return;
    }
    if (!isControl) {
        // Refused on its header: the payload of an oversized message is never read.
        const std::size_t limit = maximumMessageSize();
        if (currentFrameData_.size() > limit || header.payloadLength > limit - currentFrameData_.size()) {
            _failWithMessageTooBig();
            return;
        }
        currentFrameOpcode_ = header.opcode;
        ++currentFrameCount_;
        // Room for the announced payload (bounded), growing geometrically.
        const std::size_t wanted =
            currentFrameData_.size() + static_cast<std::size_t>(std::min(header.payloadLength, kMaxReserveAhead));
        if (wanted > currentFrameData_.capacity()) {
            currentFrameData_.reserve(std::max(wanted, currentFrameData_.capacity() * 2));
        }
    }

    if (header.payloadLength == 0) {
        if (isControl) {
            _handleFrameWithData({}, header.opcode);
        } else if (header.fin) {
            _handleFrameWithData(currentFrameData_, currentFrameOpcode_);
        } else {
            _readFrameContinue();
        }
        return;
    }
    _addConsumerWithDataLength(
        header.payloadLength,
        [header, isControl](vSRWebSocket& socket, std::optional<std::span<const std::uint8_t>> data) {
        if (isControl) {
            socket._handleFrameWithData(*data, header.opcode);
        } else if (header.fin) {
            socket._handleFrameWithData(socket.currentFrameData_, socket.currentFrameOpcode_);
        } else {
            socket._readFrameContinue();
        }
        },
        !isControl, header.masked);
}

void vSRWebSocket::_handleFrameWithData(std::span<const std::uint8_t> frameData, std::uint8_t opcode) {
    assertOnWorkQueue();
    auto self = shared_from_this();
    // The next read is queued first; it runs after this handling, which
    // therefore still sees the assembled message.
    ++queuedReads_;
    if (isControlOpcode(opcode)) {
        asio::post(workQueue_, [self] {
            --self->queuedReads_;
            self->_readFrameContinue();
            self->flushMessagesAfterReading();
        });
    } else {
        asio::post(workQueue_, [self] {
            --self->queuedReads_;
            self->_readFrameNew();
            self->flushMessagesAfterReading();
        });
    }

    switch (opcode) {
        case 1: {
            // Everything before the scan position is proven already; what is
            // left is at most an incomplete sequence held over.
            const std::size_t proven = std::min(currentStringScanPosition_, frameData.size());
            if (!isValidUTF8(frameData.data() + proven, frameData.size() - proven)) {
                closeWithCode(SRStatusCodeInvalidUTF8, std::string("Text frames must be valid UTF-8"));
                asio::post(workQueue_, [self] { self->_disconnect(); });
                return;
            }
            SRMessage message(std::in_place_type<std::string>, reinterpret_cast<const char*>(frameData.data()),
                              frameData.size());
            // A fresh buffer for the next message: a large one is not kept.
            if (currentFrameData_.capacity() > kKeptBufferCapacity) currentFrameData_ = std::vector<std::uint8_t>();
            releaseLargeBuffers();
            _deliverMessage(std::move(message));
            break;
        }
        case 2: {
            // A data frame's payload is the assembled message itself, which
            // is emptied before the next message anyway: hand it over.
            SRMessage message(std::in_place_type<SRData>, std::move(currentFrameData_));
            currentFrameData_ = SRData();
            releaseLargeBuffers();
            _deliverMessage(std::move(message));
            break;
        }
        case 8:
            handleCloseWithData(frameData);
            break;
        case 9: {
            SRData payload(frameData.begin(), frameData.end());
            _performDelegateBlock([self, payload = std::move(payload)]() mutable {
                PendingSend pong;
                pong.opcode = 10;
                pong.payload = std::move(payload);
                self->queueSend(std::move(pong));
            });
            break;
        }
        case 10:
            break;
        default:
            _closeWithProtocolError("Unknown opcode " + std::to_string(static_cast<long>(opcode)));
            break;
    }
}

void vSRWebSocket::_pumpScanner() {
    assertOnWorkQueue();
    if (isPumping_) return;
    isPumping_ = true;
    bool didWork = true;
    while (didWork) didWork = _innerPumpScanner();
    isPumping_ = false;
}

bool vSRWebSocket::_innerPumpScanner() {
    const SRReadyState state = readyState();
    if (state == SRReadyState::CLOSING || state == SRReadyState::CLOSED) return false;
    if (consumers_.empty()) return false;
    const std::size_t available = readBuffer_.size() - readBufferOffset_;
    if (available == 0) return false;

    SRIOConsumer& consumer = *consumers_.front();
    const std::uint64_t bytesNeeded = consumer.bytesNeeded();
    std::size_t foundSize = 0;
    if (consumer.consumer()) {
        foundSize =
            consumer.consumer()(std::span<const std::uint8_t>(readBuffer_.data() + readBufferOffset_, available));
    } else if (available >= bytesNeeded) {
        foundSize = static_cast<std::size_t>(bytesNeeded);
    } else if (consumer.readToCurrentFrame()) {
        foundSize = available;
    }
    if (!consumer.readToCurrentFrame() && foundSize == 0) return false;

    std::uint8_t* slice = readBuffer_.data() + readBufferOffset_;
    readBufferOffset_ += foundSize;
    if (consumer.unmaskBytes()) {
        for (std::size_t index = 0; index < foundSize; ++index) {
            slice[index] ^= currentReadMaskKey_[currentReadMaskOffset_ % 4];
            ++currentReadMaskOffset_;
        }
    }

    if (!consumer.readToCurrentFrame()) {
        auto finished = std::move(consumers_.front());
        consumers_.pop_front();
        // The item's bytes stay where they are until the handler returns.
        finished->handler()(*this, std::span<const std::uint8_t>(slice, foundSize));
        compactReadBuffer();
        consumerPool_.returnConsumer(std::move(finished));
        return true;
    }

    currentFrameData_.insert(currentFrameData_.end(), slice, slice + foundSize);
    compactReadBuffer();
    if (currentFrameOpcode_ == 1 && !currentFrameData_.empty()) {
        const std::int64_t valid = validatedUTF8Length(currentFrameData_.data() + currentStringScanPosition_,
                                                       currentFrameData_.size() - currentStringScanPosition_);
        if (valid < 0) {
            closeWithCode(SRStatusCodeInvalidUTF8, std::string("Text frames must be valid UTF-8"));
            auto self = shared_from_this();
            asio::post(workQueue_, [self] { self->_disconnect(); });
            return false;
        }
        currentStringScanPosition_ += static_cast<std::size_t>(valid);
    }
    consumer.setBytesNeeded(bytesNeeded - foundSize);
    if (consumer.bytesNeeded() == 0) {
        auto finished = std::move(consumers_.front());
        consumers_.pop_front();
        finished->handler()(*this, std::nullopt);
        consumerPool_.returnConsumer(std::move(finished));
        return true;
    }
    return false;
}

void vSRWebSocket::releaseLargeBuffers() {
    if (readBuffer_.capacity() > kKeptBufferCapacity && readBuffer_.size() - readBufferOffset_ <= kKeptBufferCapacity) {
        std::vector<std::uint8_t> fresh(readBuffer_.begin() + static_cast<std::ptrdiff_t>(readBufferOffset_),
                                        readBuffer_.end());
        readBuffer_ = std::move(fresh);
        readBufferOffset_ = 0;
    }
    if (outputBufferOffset_ == outputBuffer_.size() && outputBuffer_.capacity() > kKeptBufferCapacity &&
        !streams_->hasPendingWrites()) {
        outputBuffer_ = OutputBuffer();
        outputBufferOffset_ = 0;
    }
}

void vSRWebSocket::compactReadBuffer() {
    if (readBufferOffset_ > kCompactionThreshold && readBufferOffset_ > readBuffer_.size() / 2) {
        const std::size_t remaining = readBuffer_.size() - readBufferOffset_;
        std::memmove(readBuffer_.data(), readBuffer_.data() + readBufferOffset_, remaining);
        readBuffer_.resize(remaining);
        readBufferOffset_ = 0;
    }
}

std::int64_t vSRWebSocket::validatedUTF8Length(const std::uint8_t* bytes, std::size_t length) {
    if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return -1;
    const auto end = static_cast<std::int32_t>(length);
    std::int32_t index = 0;
    while (index < end) {
        // Runs of ASCII, eight bytes at a time.
        while (index + 8 <= end) {
            std::uint64_t word;
            std::memcpy(&word, bytes + index, 8);
            if (word & 0x8080808080808080ull) break;
            index += 8;
        }
        while (index < end && bytes[index] < 0x80) ++index;
        if (index >= end) break;

        const std::int32_t start = index;
        UChar32 codePoint;
        U8_NEXT(bytes, index, end, codePoint);
        if (codePoint >= 0) continue;

        // Ill-formed, or only cut off: a lead byte whose announced length
        // reaches the end of the data, followed only by continuation bytes.
        const std::uint8_t lead = bytes[start];
        int announced = 0;
        if (lead >= 0xC0 && lead <= 0xDF) {
            announced = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            announced = 3;
        } else if (lead >= 0xF0 && lead <= 0xF7) {
            announced = 4;
        } else if (lead >= 0xF8 && lead <= 0xFB) {
            announced = 5;
        } else if (lead >= 0xFC && lead <= 0xFD) {
            announced = 6;
        }
        if (announced == 0 || static_cast<std::int64_t>(start) + announced < end) return -1;
        for (std::int32_t next = start + 1; next < end; ++next) {
            if ((bytes[next] & 0xC0) != 0x80) return -1;
        }
        return start;
    }
    return end;
}

bool vSRWebSocket::isValidUTF8(const std::uint8_t* bytes, std::size_t length) {
    return validatedUTF8Length(bytes, length) == static_cast<std::int64_t>(length);
}

}  // namespace vorn
