#pragma once

#include "vorn/realtime/SocketIOTransport.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vorn {

class VornUrlRequest;

/// HTTP long polling at "http[s]://host[:port]/socket.io/1/xhr-polling/<sid>":
/// one GET is kept outstanding to receive packets, and each packet sent is
/// POSTed on its own (several may overlap). A request that fails is tried
/// again, three attempts in all. Closing stops the GET; POSTs already
/// running are let through. Lives on the main loop.
class SocketIOTransportXHR final : public SocketIOTransport, public std::enable_shared_from_this<SocketIOTransportXHR> {
    struct PrivateTag {};

public:
    /// A new transport that reports to `delegate` (held weakly).
    static std::shared_ptr<SocketIOTransportXHR> initWithDelegate(std::weak_ptr<SocketIOTransportDelegate> delegate);
    /// Made only by `initWithDelegate`.
    SocketIOTransportXHR(PrivateTag, std::weak_ptr<SocketIOTransportDelegate> delegate);
    ~SocketIOTransportXHR() override;

    /// The polling URL (without query) for the session's values.
    static std::string urlFor(const SocketIOTransportDelegate& session);

    void open() override;
    void close() override;
    bool isReady() const override { return true; }
    void send(const std::string& packetText) override;
    void setDelegate(std::weak_ptr<SocketIOTransportDelegate> delegate) override { delegate_ = std::move(delegate); }

    /// The polling URL set by `open`.
    const std::string& url() const { return url_; }
    /// Whether `close` was called since the last `open`.
    bool isClosed() const { return isClosed_; }
    /// Requests running (or stopped by a status error and kept), and how
    /// many of them are GETs.
    std::size_t pollCount() const { return polls_.size(); }
    /// The same, for the GETs only.
    std::size_t getCount() const;

private:
    struct Poll {
        std::shared_ptr<VornUrlRequest> connection;
        std::optional<std::string> data;
        int retries = 0;
    };

    void poll(std::optional<std::string> data, int retryNumber = 0);
    void checkAndStartPoll();
    void didReceiveResponse(std::uint64_t key, long statusCode);
    void didFinish(std::uint64_t key);
    void didFail(std::uint64_t key);

    std::weak_ptr<SocketIOTransportDelegate> delegate_;
    std::string url_;
    std::map<std::uint64_t, Poll> polls_;
    std::uint64_t nextKey_ = 1;
    bool isClosed_ = false;
};

}  // namespace vorn
