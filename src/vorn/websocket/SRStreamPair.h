#pragma once

#include "vorn/core/VornError.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

enum class SRStreamKind { Input, Output };

enum class SRStreamEvent { OpenCompleted, HasBytesAvailable, HasSpaceAvailable, ErrorOccurred, EndEncountered };

enum class SRStreamStatus { NotOpen, Opening, Open, AtEnd, Closed, Error };

/// Receives the events of a stream pair, on the pair's work queue.
class SRStreamDelegate {
public:
    /// An event of one of the two streams.
    virtual void stream(SRStreamKind stream, SRStreamEvent event) = 0;

protected:
    ~SRStreamDelegate() = default;
};

/// The input and output stream of one TCP connection, optionally with TLS,
/// in the manner of a socket stream pair: reads and writes never block
/// (`read` and `write` return at once with what they could do), and events
/// (open, bytes available, space available, error, end) are delivered to the
/// delegate on the work queue (an Asio strand). Every member is called on
/// that work queue.
///
/// Plain TCP reads and writes go straight to the non-blocking socket, with
/// Asio waits for readiness. With TLS, the pair runs Asio's OpenSSL stream:
/// a read completion holds up to 2,048 decrypted bytes until `read` takes
/// them, and `write` hands a copy of the bytes to an asynchronous write,
/// reporting space again when it completes.
///
/// Completion handlers keep the pair alive, not the delegate: once the
/// delegate is gone, nothing more is delivered.
class SRStreamPair : public std::enable_shared_from_this<SRStreamPair> {
public:
    /// The serial work queue the pair runs on.
    using WorkQueue = boost::asio::strand<boost::asio::io_context::executor_type>;

    /// The most decrypted bytes one TLS read completion holds.
    static constexpr std::size_t kTLSReadSize = 2048;
    /// The most bytes one read of a plain socket takes.
    static constexpr std::size_t kPlainReadSize = 1 << 16;
    /// The most bytes one TLS write takes.
    static constexpr std::size_t kTLSWriteChunk = 1 << 20;

    /// A pair for the host and port, not yet open.
    SRStreamPair(WorkQueue workQueue, std::string host, std::uint16_t port);
    ~SRStreamPair();

    /// Sets the delegate (held weakly).
    void setDelegate(std::weak_ptr<SRStreamDelegate> delegate) { delegate_ = std::move(delegate); }

    /// Negotiated TLS; `validatesCertificateChain` false switches off the
    /// validation of the peer's chain and host name. Before `open`.
    void setSecure(bool validatesCertificateChain);
    /// Whether TLS was asked for.
    bool isSecure() const { return secure_; }

    /// Resolves the host and connects, on `runLoop`.
    void open(boost::asio::io_context& runLoop);
    /// Closes the connection; no event follows. Over TLS, with no write in
    /// flight, a close_notify goes out first (waiting at most
    /// `kTLSShutdownTimeout` for the peer's); the socket closes after it.
    void close();
    /// Whether bytes handed to `write` are still on their way (TLS writes
    /// run asynchronously); the end of such a write reports space again.
    bool hasPendingWrites() const { return tlsWriting_; }
    /// Whether the error reported was a failed write (TLS writes fail late).
    bool writeFailed() const { return writeFailed_; }

    /// The longest wait for the peer's close_notify.
    static constexpr std::chrono::milliseconds kTLSShutdownTimeout{2000};

    /// The pair's status.
    SRStreamStatus status() const { return status_; }
    /// Whether `read` may return bytes now.
    bool hasBytesAvailable() const;
    /// Up to `maxLength` bytes: the count, 0 when none are available now (or
    /// at the end), -1 on an error (`streamError`).
    std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength);
    /// Whether `write` may take bytes now.
    bool hasSpaceAvailable() const;
    /// As many of the bytes as the stream takes now: the count (possibly 0),
    /// or -1 on an error.
    std::ptrdiff_t write(const std::uint8_t* buffer, std::size_t length);

    /// The error reported, with the error category as domain; empty when none.
    std::optional<VornError> streamError() const;
    /// The peer's certificate chain (DER, leaf first) once TLS is up; empty
    /// without TLS or before the handshake.
    std::vector<std::vector<std::uint8_t>> peerCertificateChain() const;

private:
    using TLSStream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

    boost::asio::ip::tcp::socket& socket();
    bool isClosed() const { return status_ == SRStreamStatus::Closed; }
    bool canWrite() const;
    void connected();
    void fail(const boost::system::error_code& error, SRStreamKind stream);
    void deliver(SRStreamKind stream, SRStreamEvent event);
    void armRead();
    void readDone(const boost::system::error_code& error, std::size_t count);
    void armWrite();
    void bytesAvailable();
    void afterBytesAvailable();
    bool isEnd(const boost::system::error_code& error) const;
    void closeSocket();

    WorkQueue workQueue_;
    std::string host_;
    std::uint16_t port_;
    bool secure_ = false;
    bool validatesCertificateChain_ = true;
    std::weak_ptr<SRStreamDelegate> delegate_;

    SRStreamStatus status_ = SRStreamStatus::NotOpen;
    boost::system::error_code error_;
    bool connected_ = false;
    bool endDelivered_ = false;
    bool writeFailed_ = false;

    std::optional<boost::asio::ip::tcp::resolver> resolver_;
    std::optional<boost::asio::ip::tcp::socket> plain_;
    std::optional<boost::asio::ssl::context> tlsContext_;
    std::optional<TLSStream> tls_;

    // Reading: one read at a time into in_ (kTLSReadSize decrypted bytes,
    // or kPlainReadSize from a plain socket), which read() hands out.
    bool readArmed_ = false;
    std::vector<std::uint8_t> in_;
    std::size_t inLength_ = 0;
    std::size_t inPosition_ = 0;

    // Plain TCP writing.
    bool waitingWritable_ = false;

    // TLS.
    bool handshakeDone_ = false;
    bool tlsWriting_ = false;
    std::vector<std::uint8_t> tlsOut_;
    std::optional<boost::asio::steady_timer> shutdownTimer_;
};

}  // namespace vorn
