#pragma once

// The listening address of the emulator's servers: loopback only.

#include <boost/asio/ip/address.hpp>

#include <stdexcept>
#include <string>

namespace vorn::emulator {

// The address of `text` ("localhost" means 127.0.0.1); std::invalid_argument
// when it is no address or not a loopback one, naming `server` ("the
// emulator", "the realtime host") in the message.
inline boost::asio::ip::address loopbackAddress(const std::string& text, const std::string& server) {
    if (text == "localhost") return boost::asio::ip::address_v4::loopback();
    boost::system::error_code ec;
    auto address = boost::asio::ip::make_address(text, ec);
    if (ec) throw std::invalid_argument("invalid address \"" + text + "\"");
    if (!address.is_loopback()) {
        throw std::invalid_argument("address " + text + " is not a loopback address; " + server +
                                    " serves loopback only");
    }
    return address;
}

// "host:port", with an IPv6 host in brackets.
inline std::string endpointText(const boost::asio::ip::address& address, unsigned short port) {
    const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(port);
}

}  // namespace vorn::emulator
