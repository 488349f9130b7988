#pragma once

// A session's WebSocket transport: each text message is one packet. Reads
// and writes run one at a time each; the packets to write come from the
// session's queue. Lives on the host's thread.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <memory>
#include <string>

namespace vorn::emulator::realtime {

class RealtimeCore;
class RealtimeSession;

class RealtimeWebSocket : public std::enable_shared_from_this<RealtimeWebSocket> {
public:
    RealtimeWebSocket(boost::asio::ip::tcp::socket socket, RealtimeCore& core,
                      std::shared_ptr<RealtimeSession> session);
    ~RealtimeWebSocket();
    RealtimeWebSocket(const RealtimeWebSocket&) = delete;
    RealtimeWebSocket& operator=(const RealtimeWebSocket&) = delete;

    // Answers the upgrade request; the session opens once that is written.
    void accept(boost::beast::http::request<boost::beast::http::string_body> request);
    // Writes the session's queued packets, one message each.
    void pump();
    // Writes what is queued, then closes normally (1000).
    void finish();
    // Drops the connection without a close frame.
    void abort();

private:
    using error_code = boost::system::error_code;

    void onAccept(error_code ec);
    void read();
    void onRead(error_code ec);
    void onWrite(error_code ec);
    void closeNormally();

    boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws_;
    RealtimeCore& core_;
    std::shared_ptr<RealtimeSession> session_;
    boost::beast::http::request<boost::beast::http::string_body> request_;
    boost::beast::flat_buffer buffer_;
    std::string writing_;
    boost::asio::steady_timer lingerTimer_;  // a finish that does not complete in time becomes an abort
    bool open_ = false;
    bool writePending_ = false;
    bool finishing_ = false;
    bool closeSent_ = false;
    bool dead_ = false;
};

}  // namespace vorn::emulator::realtime
