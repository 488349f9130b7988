#pragma once

// One HTTP/1.1 connection to the realtime host: handshakes, polling GETs
// (held until there is something to send) and POSTs, session disconnects,
// and WebSocket upgrades, after which the socket belongs to a
// RealtimeWebSocket. Lives on the host's thread.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::emulator::realtime {

class RealtimeCore;
class RealtimeSession;

class RealtimeHttpConnection : public std::enable_shared_from_this<RealtimeHttpConnection> {
public:
    RealtimeHttpConnection(boost::asio::ip::tcp::socket socket, RealtimeCore& core);
    ~RealtimeHttpConnection();
    RealtimeHttpConnection(const RealtimeHttpConnection&) = delete;
    RealtimeHttpConnection& operator=(const RealtimeHttpConnection&) = delete;

    void start();
    // Closes the socket; a held GET is let go.
    void close();
    // Answers the held GET: 200 with this body. `written` runs once when the
    // body has left (or never will: the write failed, timed out, or the
    // connection closed), so the session counts it in its backlog till then.
    void answerPoll(const std::string& body, std::function<void()> written = {});
    // The held GET ends unanswered: the connection is closed.
    void dropPoll();

private:
    using error_code = boost::system::error_code;

    void readRequest();
    void onRead(error_code ec);
    void route();
    void handshake();
    void transportRequest(std::string_view transport, const std::string& sid, std::string_view query);
    void upgrade(const std::shared_ptr<RealtimeSession>& session);
    void hold(const std::shared_ptr<RealtimeSession>& session);
    void watchHeld();
    void respond(unsigned status, std::string body, std::string_view allow = {});
    void onWritten(bool closeAfter, error_code ec);
    void armReadTimer();
    void disarmReadTimer();
    void lingerAndClose();
    void onLinger(error_code ec, std::size_t bytes);

    boost::asio::ip::tcp::socket socket_;
    RealtimeCore& core_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    boost::beast::http::request<boost::beast::http::string_body> request_;
    boost::beast::http::response<boost::beast::http::string_body> response_;
    boost::asio::steady_timer timer_;  // the read limit, then the linger time
    unsigned timerGeneration_ = 0;
    bool timedOut_ = false;
    bool closed_ = false;
    bool keepAlive_ = true;
    unsigned version_ = 11;
    std::shared_ptr<RealtimeSession> heldFor_;  // set while a GET is held
    unsigned holdGeneration_ = 0;
    std::size_t lingered_ = 0;
    std::function<void()> pollWritten_;  // the answered poll's body is on its way
    void pollLeft();
};

}  // namespace vorn::emulator::realtime
