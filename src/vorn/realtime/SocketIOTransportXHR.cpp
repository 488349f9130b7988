#include "vorn/realtime/SocketIOTransportXHR.h"

#include "vorn/net/VornUrlRequest.h"
#include "vorn/realtime/SocketIOPacket.h"

#include <chrono>
#include <cstdio>

namespace vorn {

std::shared_ptr<SocketIOTransportXHR> SocketIOTransportXHR::initWithDelegate(
    std::weak_ptr<SocketIOTransportDelegate> delegate) {
    return std::make_shared<SocketIOTransportXHR>(PrivateTag{}, std::move(delegate));
}

SocketIOTransportXHR::SocketIOTransportXHR(PrivateTag, std::weak_ptr<SocketIOTransportDelegate> delegate)
    : delegate_(std::move(delegate)) {}

SocketIOTransportXHR::~SocketIOTransportXHR() {
    for (auto& [key, entry] : polls_) {
        if (!entry.data) entry.connection->cancle();
    }
}

std::string SocketIOTransportXHR::urlFor(const SocketIOTransportDelegate& session) {
    std::string url = session.useSecure() ? "https://" : "http://";
    url += session.host();
    if (session.port() != 0) url += ":" + std::to_string(session.port());
    url += "/socket.io/1/xhr-polling/";
    url += session.sid().value_or("");
    return url;
}

void SocketIOTransportXHR::open() {
    auto session = delegate_.lock();
    if (!session) return;
    url_ = urlFor(*session);
    isClosed_ = false;
    poll(std::nullopt);
}

void SocketIOTransportXHR::close() {
    auto polls = std::move(polls_);
    polls_.clear();
    isClosed_ = true;
    // The GET stops; POSTs already on their way are let through, so that
    // packets sent just before the end (the "disconnect" above all) reach
    // the server. Their completions find no entry and start nothing.
    for (auto& [key, entry] : polls) {
        if (!entry.data) entry.connection->cancle();
    }
}

void SocketIOTransportXHR::send(const std::string& packetText) {
    poll(packetText);
}

std::size_t SocketIOTransportXHR::getCount() const {
    std::size_t count = 0;
    for (const auto& [key, entry] : polls_) count += entry.data ? 0 : 1;
    return count;
}

void SocketIOTransportXHR::poll(std::optional<std::string> data, int retryNumber) {
    auto session = delegate_.lock();
    const double timeout = session ? session->heartbeatTimeout() : 0.0;
    auto request = VornUrlRequest::initWithUrl(url_ + "?t=" + SocketIOMillisecondsNow());
    request->setTimeoutInterval(timeout);
    // A body past the limit is refused while it arrives, never held whole.
    const std::size_t maxBody = session ? session->limits().maxPollingBodyBytes : SocketIOLimits{}.maxPollingBodyBytes;
    request->setMaximumResponseBytes(maxBody);
    if (data) {
        request->setHttpMethod("POST");
        request->addValue("text/plain; charset=UTF-8", "Content-Type");
        request->setPostBody(*data);
    } else {
        request->setHttpMethod("GET");
        request->setPostBody(std::string());
    }
    request->addValue("Keep-Alive", "Connection");
    const std::uint64_t key = nextKey_++;
    std::weak_ptr<SocketIOTransportXHR> weak = weak_from_this();
    request->setResponseBlock([weak, key](long status) {
        if (auto self = weak.lock()) self->didReceiveResponse(key, status);
    });
    request->setCompletionBlock([weak, key] {
        if (auto self = weak.lock()) self->didFinish(key);
    });
    request->setFailedBlock([weak, key] {
        if (auto self = weak.lock()) self->didFail(key);
    });
    polls_.emplace(key, Poll{request, std::move(data), retryNumber});
    request->startAsyncConnection();
}

void SocketIOTransportXHR::checkAndStartPoll() {
    if (isClosed_) return;
    if (getCount() == 0) poll(std::nullopt);
}

void SocketIOTransportXHR::didReceiveResponse(std::uint64_t key, long statusCode) {
    if (statusCode < 400) return;
    auto it = polls_.find(key);
    if (it == polls_.end()) return;
    // The request is stopped but kept: a stopped GET counts as running, so
    // no other GET starts and the session's heartbeat timeout ends it.
    it->second.connection->cancle();
    if (auto session = delegate_.lock()) session->onError(SocketIOStatusError(statusCode));
}

void SocketIOTransportXHR::didFinish(std::uint64_t key) {
    auto it = polls_.find(key);
    if (it == polls_.end()) return;
    const std::string body = it->second.connection->responseData().value_or(std::string());
    polls_.erase(it);
    auto self = shared_from_this();
    if (body != "1") {
        for (const std::string& packet : SocketIOPacket::decodePayload(body)) {
            // A packet may end the session, which closes this transport.
            if (isClosed_) return;
            if (auto session = delegate_.lock()) session->onData(packet);
        }
    }
    checkAndStartPoll();
}

void SocketIOTransportXHR::didFail(std::uint64_t key) {
    auto it = polls_.find(key);
    if (it == polls_.end()) return;
    Poll entry = std::move(it->second);
    polls_.erase(it);
    if (isClosed_) return;
    const std::uint64_t maxBody = entry.connection->maximumResponseBytes();
    if (maxBody > 0 && entry.connection->errorDescription().starts_with("the response is larger than")) {
        // Not retried: the server sent more than the session takes.
        auto session = delegate_.lock();
        if (!session) return;
        VornError error{kSocketIOErrorDomain,
                        kSocketIOErrorLimitExceeded,
                        {{"error", "a polling body over the limit of " + std::to_string(maxBody) + " bytes"}}};
        session->onError(error);
        session->onDisconnect(error);
        return;
    }
    if (entry.retries >= 2) {
        VornError error{kSocketIOErrorDomain, kSocketIOErrorPollingFailed, {}};
        error.userInfo["reason"] = entry.connection->errorDescription();
        if (entry.data) error.userInfo["data"] = *entry.data;
        if (auto session = delegate_.lock()) session->onError(error);
        return;
    }
    poll(std::move(entry.data), entry.retries + 1);
}

}  // namespace vorn
