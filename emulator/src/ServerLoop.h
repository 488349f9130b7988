#pragma once

// What the emulator's two servers (the HTTP server and the realtime host)
// share: a listening socket on a loopback address with its accept loop, and
// the run loop of their thread.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace vorn::emulator {

/// Accepts connections on one address for as long as it is open. A failed
/// accept (out of descriptors and the like) is tried again 50 ms later
/// instead of spinning; a connection beyond the limit is accepted, so that it
/// leaves the backlog, and closed at once; the others get Nagle's algorithm
/// off and go to `serve`. Everything runs on the io_context's thread.
class AcceptLoop {
public:
    struct Hooks {
        std::function<bool()> atLimit;                            // no room for one more connection
        std::function<void(boost::asio::ip::tcp::socket)> serve;  // a connection to serve
        std::function<void()> refused;                            // one was closed at the limit
        std::function<void(const std::string&)> acceptFailed;     // why an accept failed
    };

    AcceptLoop(boost::asio::io_context& ioc, Hooks hooks);

    /// Binds and listens on address:port (0 picks a free port) and starts
    /// accepting; the port listened on. Throws std::runtime_error ("cannot
    /// listen on ...") when the address cannot be had.
    unsigned short listen(const boost::asio::ip::address& address, unsigned short port);

    /// Stops accepting; pending accepts end as aborted.
    void close();

private:
    void accept();

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
    Hooks hooks_;
};

/// Runs the io_context until it is stopped; an exception out of a handler is
/// logged ("unexpected error in the <what> loop: ...") and the loop goes on.
/// After the stop the aborted operations are run down so that every
/// connection is released before this returns.
void runServerLoop(boost::asio::io_context& ioc, std::string_view what,
                   const std::function<void(const std::string&)>& log);

/// Joins the thread, or detaches it when called on that thread itself (a
/// server destroyed by one of its own handlers).
void joinOrDetach(std::thread& thread);

}  // namespace vorn::emulator
