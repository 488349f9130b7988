#include "vorn/websocket/SRStreamPair.h"

#include "vorn/core/DeviceContext.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstring>

namespace vorn {

namespace asio = boost::asio;
using boost::asio::ip::tcp;

SRStreamPair::SRStreamPair(WorkQueue workQueue, std::string host, std::uint16_t port)
    : workQueue_(std::move(workQueue)), host_(std::move(host)), port_(port) {}

SRStreamPair::~SRStreamPair() = default;

void SRStreamPair::setSecure(bool validatesCertificateChain) {
    secure_ = true;
    validatesCertificateChain_ = validatesCertificateChain;
}

tcp::socket& SRStreamPair::socket() {
    return tls_ ? tls_->next_layer() : *plain_;
}

bool SRStreamPair::isEnd(const boost::system::error_code& error) const {
    // A TLS peer that just closes its socket ends the stream as well.
    return error == asio::error::eof || error == asio::ssl::error::stream_truncated;
}

void SRStreamPair::open(asio::io_context& runLoop) {
    if (status_ != SRStreamStatus::NotOpen) return;
    status_ = SRStreamStatus::Opening;
    resolver_.emplace(runLoop);
    if (secure_) {
        tlsContext_.emplace(asio::ssl::context::tls_client);
        boost::system::error_code ignored;
        tlsContext_->set_default_verify_paths(ignored);
        // The configured CA file is trusted besides the system's store; one
        // that cannot be read adds nothing, and the handshake says why.
        if (const auto security = DeviceContext::shared().transportSecurity(); security->caFile) {
            tlsContext_->load_verify_file(security->caFile->string(), ignored);
        }
        tlsContext_->set_verify_mode(validatesCertificateChain_ ? asio::ssl::verify_peer : asio::ssl::verify_none,
                                     ignored);
        tls_.emplace(runLoop, *tlsContext_);
        in_.resize(kTLSReadSize);
        SSL* ssl = tls_->native_handle();
        boost::system::error_code notAnAddress;
        asio::ip::make_address(host_, notAnAddress);
        const bool isAddress = !notAnAddress;
        if (!isAddress) SSL_set_tlsext_host_name(ssl, host_.c_str());
        if (validatesCertificateChain_) {
            if (isAddress) {
                X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host_.c_str());
            } else {
                SSL_set1_host(ssl, host_.c_str());
            }
        }
    } else {
        plain_.emplace(runLoop);
        in_.resize(kPlainReadSize);
    }

    auto self = shared_from_this();
    resolver_->async_resolve(
        host_, std::to_string(port_), tcp::resolver::numeric_service,
        asio::bind_executor(workQueue_,
                            [self](const boost::system::error_code& error, const tcp::resolver::results_type& results) {
        if (self->isClosed()) return;
        if (error) {
            self->fail(error, SRStreamKind::Input);
            return;
        }
        asio::async_connect(
            self->socket(), results,
            asio::bind_executor(self->workQueue_, [self](const boost::system::error_code& error, const tcp::endpoint&) {
                if (self->isClosed()) return;
                if (error) {
                    self->fail(error, SRStreamKind::Input);
                    return;
                }
                self->connected();
            }));
        }));
}

void SRStreamPair::connected() {
    connected_ = true;
    status_ = SRStreamStatus::Open;
    boost::system::error_code ignored;
    socket().set_option(tcp::no_delay(true), ignored);
    if (!tls_) socket().non_blocking(true, ignored);

    deliver(SRStreamKind::Output, SRStreamEvent::OpenCompleted);
    if (isClosed()) return;
    deliver(SRStreamKind::Input, SRStreamEvent::OpenCompleted);
    if (isClosed()) return;

    if (!tls_) {
        armRead();
        return;
    }
    auto self = shared_from_this();
    tls_->async_handshake(asio::ssl::stream_base::client,
                          asio::bind_executor(workQueue_, [self](const boost::system::error_code& error) {
                              if (self->isClosed()) return;
                              if (error) {
                                  self->fail(error, SRStreamKind::Output);
                                  return;
                              }
                              self->handshakeDone_ = true;
                              self->deliver(SRStreamKind::Output, SRStreamEvent::HasSpaceAvailable);
                              if (self->status_ == SRStreamStatus::Open) self->armRead();
                          }));
}

void SRStreamPair::close() {
    if (status_ == SRStreamStatus::Closed) return;
    const bool wasOpen = status_ == SRStreamStatus::Open || status_ == SRStreamStatus::AtEnd;
    status_ = SRStreamStatus::Closed;
    if (resolver_) resolver_->cancel();
    if (tls_ && handshakeDone_ && wasOpen && !tlsWriting_) {
        // TLS ends with a close_notify; the socket closes once the peer
        // answered it, or after a while.
        auto self = shared_from_this();
        shutdownTimer_.emplace(workQueue_, kTLSShutdownTimeout);
        shutdownTimer_->async_wait([self](const boost::system::error_code&) { self->closeSocket(); });
        tls_->async_shutdown(
            asio::bind_executor(workQueue_, [self](const boost::system::error_code&) { self->closeSocket(); }));
        return;
    }
    closeSocket();
}

void SRStreamPair::closeSocket() {
    boost::system::error_code ignored;
    if (shutdownTimer_) shutdownTimer_->cancel();
    if (plain_ || tls_) {
        if (!socket().is_open()) return;
        // Output first (a FIN after anything still queued), then input.
        socket().shutdown(tcp::socket::shutdown_send, ignored);
        socket().close(ignored);
    }
}

void SRStreamPair::fail(const boost::system::error_code& error, SRStreamKind stream) {
    if (error == asio::error::operation_aborted) return;
    status_ = SRStreamStatus::Error;
    error_ = error;
    deliver(stream, SRStreamEvent::ErrorOccurred);
}

void SRStreamPair::deliver(SRStreamKind stream, SRStreamEvent event) {
    if (auto delegate = delegate_.lock()) delegate->stream(stream, event);
}

// Reading.

void SRStreamPair::armRead() {
    if (readArmed_ || status_ != SRStreamStatus::Open) return;
    readArmed_ = true;
    auto self = shared_from_this();
    auto done = asio::bind_executor(workQueue_, [self](const boost::system::error_code& error, std::size_t count) {
        self->readDone(error, count);
    });
    // Both kinds read into the pair's buffer, not waiting for readiness and
    // then reading: the reactor reads as soon as bytes arrive (or at once,
    // when they are there already), with no re-arming of the socket.
    if (tls_) {
        tls_->async_read_some(asio::buffer(in_), std::move(done));
    } else {
        plain_->async_read_some(asio::buffer(in_), std::move(done));
    }
}

void SRStreamPair::readDone(const boost::system::error_code& error, std::size_t count) {
    readArmed_ = false;
    if (isClosed()) return;
    if (error) {
        if (isEnd(error)) {
            status_ = SRStreamStatus::AtEnd;
            endDelivered_ = true;
            deliver(SRStreamKind::Input, SRStreamEvent::EndEncountered);
        } else {
            fail(error, SRStreamKind::Input);
        }
        return;
    }
    inLength_ = count;
    inPosition_ = 0;
    bytesAvailable();
}

void SRStreamPair::bytesAvailable() {
    deliver(SRStreamKind::Input, SRStreamEvent::HasBytesAvailable);
    afterBytesAvailable();
}

void SRStreamPair::afterBytesAvailable() {
    auto self = shared_from_this();
    if (status_ == SRStreamStatus::AtEnd && !endDelivered_) {
        // The end is its own event, after whatever the bytes started.
        endDelivered_ = true;
        asio::post(workQueue_, [self] {
            if (!self->isClosed()) self->deliver(SRStreamKind::Input, SRStreamEvent::EndEncountered);
        });
        return;
    }
    if (status_ != SRStreamStatus::Open) return;
    if (hasBytesAvailable()) {
        asio::post(workQueue_, [self] {
            if (self->status_ != SRStreamStatus::Open) return;
            if (self->hasBytesAvailable()) {
                self->bytesAvailable();
            } else {
                self->armRead();
            }
        });
        return;
    }
    armRead();
}

bool SRStreamPair::hasBytesAvailable() const {
    if (inPosition_ < inLength_) return true;
    return tls_ && status_ == SRStreamStatus::Open && handshakeDone_ &&
           SSL_pending(const_cast<TLSStream&>(*tls_).native_handle()) > 0;
}

std::ptrdiff_t SRStreamPair::read(std::uint8_t* buffer, std::size_t maxLength) {
    if (status_ == SRStreamStatus::Error) return -1;
    if (maxLength == 0) return 0;
    if (inPosition_ < inLength_) {
        const std::size_t count = std::min(maxLength, inLength_ - inPosition_);
        std::memcpy(buffer, in_.data() + inPosition_, count);
        inPosition_ += count;
        return static_cast<std::ptrdiff_t>(count);
    }
    // A plain socket is read by the pair itself (armRead).
    if (!tls_ || status_ != SRStreamStatus::Open || SSL_pending(tls_->native_handle()) <= 0) return 0;
    // Decrypted bytes are waiting inside TLS: this does not touch the socket.
    boost::system::error_code error;
    const std::size_t count = tls_->read_some(asio::buffer(buffer, maxLength), error);
    if (error == asio::error::would_block || error == asio::error::try_again) return 0;
    if (error && isEnd(error)) {
        status_ = SRStreamStatus::AtEnd;
        return 0;
    }
    if (error) {
        status_ = SRStreamStatus::Error;
        error_ = error;
        return -1;
    }
    return static_cast<std::ptrdiff_t>(count);
}

// Writing.

bool SRStreamPair::canWrite() const {
    return connected_ && (status_ == SRStreamStatus::Open || status_ == SRStreamStatus::AtEnd);
}

bool SRStreamPair::hasSpaceAvailable() const {
    if (!canWrite()) return false;
    if (tls_) return handshakeDone_ && !tlsWriting_;
    return !waitingWritable_;
}

std::ptrdiff_t SRStreamPair::write(const std::uint8_t* buffer, std::size_t length) {
    if (status_ == SRStreamStatus::Error) return -1;
    if (!hasSpaceAvailable() || length == 0) return 0;
    auto self = shared_from_this();
    if (tls_) {
        const std::size_t count = std::min(length, kTLSWriteChunk);
        tlsOut_.assign(buffer, buffer + count);
        tlsWriting_ = true;
        asio::async_write(*tls_, asio::buffer(tlsOut_),
                          asio::bind_executor(workQueue_, [self](const boost::system::error_code& error, std::size_t) {
                              self->tlsWriting_ = false;
                              if (self->isClosed()) return;
                              if (error) {
                                  if (error != asio::error::operation_aborted) self->writeFailed_ = true;
                                  self->fail(error, SRStreamKind::Output);
                                  return;
                              }
                              self->deliver(SRStreamKind::Output, SRStreamEvent::HasSpaceAvailable);
                          }));
        return static_cast<std::ptrdiff_t>(count);
    }
    boost::system::error_code error;
    const std::size_t count = plain_->write_some(asio::buffer(buffer, length), error);
    if (error == asio::error::would_block || error == asio::error::try_again) {
        armWrite();
        return 0;
    }
    if (error) {
        status_ = SRStreamStatus::Error;
        error_ = error;
        return -1;
    }
    if (count < length) armWrite();
    return static_cast<std::ptrdiff_t>(count);
}

void SRStreamPair::armWrite() {
    if (waitingWritable_) return;
    waitingWritable_ = true;
    auto self = shared_from_this();
    plain_->async_wait(tcp::socket::wait_write,
                       asio::bind_executor(workQueue_, [self](const boost::system::error_code& error) {
                           self->waitingWritable_ = false;
                           if (self->isClosed()) return;
                           if (error) {
                               self->fail(error, SRStreamKind::Output);
                               return;
                           }
                           self->deliver(SRStreamKind::Output, SRStreamEvent::HasSpaceAvailable);
                       }));
}

std::optional<VornError> SRStreamPair::streamError() const {
    if (!error_) return std::nullopt;
    VornError error;
    error.domain = error_.category().name();
    error.code = error_.value();
    error.userInfo["error"] = error_.message();
    return error;
}

std::vector<std::vector<std::uint8_t>> SRStreamPair::peerCertificateChain() const {
    std::vector<std::vector<std::uint8_t>> chain;
    if (!tls_ || !handshakeDone_) return chain;
    STACK_OF(X509)* certificates = SSL_get_peer_cert_chain(const_cast<TLSStream&>(*tls_).native_handle());
    if (!certificates) return chain;
    for (int index = 0; index < sk_X509_num(certificates); ++index) {
        X509* certificate = sk_X509_value(certificates, index);
        const int length = i2d_X509(certificate, nullptr);
        if (length <= 0) continue;
        std::vector<std::uint8_t> der(static_cast<std::size_t>(length));
        unsigned char* out = der.data();
        i2d_X509(certificate, &out);
        chain.push_back(std::move(der));
    }
    return chain;
}

}  // namespace vorn
