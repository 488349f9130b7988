#pragma once

// TLS in front of one of the emulator's servers. The public listener takes
// the TLS connections; each, once its handshake is done, is relayed as
// plain bytes to a private listener on the loopback address, whose
// connections the server serves exactly as it serves plain ones. So the
// HTTP sessions, the realtime connections and their time limits stay as
// they are, and only this file knows TLS.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <unordered_set>

#include "ServerLoop.h"
#include "vorn_emulator/Tls.h"

namespace vorn::emulator {

class TlsRelay;

class TlsFront {
public:
    struct Limits {
        std::chrono::milliseconds handshake{30000};  // from the accept to the end of the handshake
        std::size_t connections = 512;               // relayed connections open at once
    };

    // Throws std::runtime_error when OpenSSL refuses the identity.
    TlsFront(boost::asio::io_context& ioc, const TlsIdentity& identity, Limits limits, AcceptLoop::Hooks served);
    ~TlsFront() = default;  // the servers close the relays when they stop (closeAll)
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    // The hooks of the public listener: TLS connections, relayed.
    AcceptLoop::Hooks publicHooks();

    // Opens the private listener on a free port of `address`.
    void listen(const boost::asio::ip::address& address);
    // Stops the private listener and drops the handshakes in progress;
    // relayed connections go on until their server closes them.
    void stopAccepting();
    // Closes every relayed connection.
    void closeAll();

    std::size_t openRelays() const;

    // What the relays share with the front; a relay keeps it alive, since
    // its handlers may be destroyed with the io_context, after the front.
    struct Shared {
        boost::asio::ssl::context context;
        Limits limits;
        boost::asio::ip::tcp::endpoint inner;
        std::unordered_set<TlsRelay*> relays;
    };

private:
    boost::asio::io_context& ioc_;
    std::shared_ptr<Shared> shared_;
    AcceptLoop::Hooks served_;
    AcceptLoop inner_;
};

}  // namespace vorn::emulator
