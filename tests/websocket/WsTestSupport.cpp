#include "WsTestSupport.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace vorn::test {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool waitReadable(int fd, Clock::time_point deadline) {
    pollfd entry{fd, POLLIN, 0};
    for (;;) {
        const int result = ::poll(&entry, 1, remainingMs(deadline));
        if (result > 0) return true;
        if (result == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace

// Frames.

int WireFrame::closeCode() const {
    if (payload.size() < 2) return 0;
    return (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]);
}

std::string WireFrame::closeReason() const {
    return payload.size() > 2 ? payload.substr(2) : std::string();
}

std::string rawFrame(std::uint8_t firstByte, std::string_view payload, bool masked,
                     std::optional<std::uint8_t> lengthField) {
    std::string out;
    out.push_back(static_cast<char>(firstByte));
    const std::uint64_t length = payload.size();
    const std::uint8_t maskBit = masked ? 0x80 : 0;
    const std::uint8_t field = lengthField ? *lengthField : (length < 126 ? length : (length <= 0xFFFF ? 126 : 127));
    if (field < 126) {
        out.push_back(static_cast<char>(maskBit | field));
    } else if (field == 126) {
        out.push_back(static_cast<char>(maskBit | 126));
        out.push_back(static_cast<char>(length >> 8));
        out.push_back(static_cast<char>(length));
    } else {
        out.push_back(static_cast<char>(maskBit | 127));
        for (int index = 7; index >= 0; --index) out.push_back(static_cast<char>(length >> (8 * index)));
    }
    if (masked) {
        const char key[4] = {0x11, 0x22, 0x33, 0x44};
        out.append(key, 4);
        for (std::size_t index = 0; index < payload.size(); ++index) out.push_back(payload[index] ^ key[index % 4]);
    } else {
        out.append(payload);
    }
    return out;
}

std::string frame(std::uint8_t opcode, std::string_view payload, bool fin) {
    return rawFrame(static_cast<std::uint8_t>((fin ? 0x80 : 0) | opcode), payload);
}

std::string closeFrame(int code, std::string_view reason) {
    std::string payload;
    payload.push_back(static_cast<char>((code >> 8) & 0xFF));
    payload.push_back(static_cast<char>(code & 0xFF));
    payload.append(reason);
    return frame(8, payload);
}

// The raw peer.

RawPeer::~RawPeer() {
    close();
}

void RawPeer::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void RawPeer::shutdownSend() {
    ::shutdown(fd_, SHUT_WR);
}

void RawPeer::write(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR) continue;
            return;  // the client went away; the test's own checks tell
        }
        done += static_cast<std::size_t>(count);
    }
}

void RawPeer::writeInPieces(std::string_view bytes, std::size_t pieceSize) {
    for (std::size_t index = 0; index < bytes.size(); index += pieceSize) write(bytes.substr(index, pieceSize));
}

bool RawPeer::readExact(std::string& out, std::size_t count, Clock::time_point deadline) {
    while (pending_.size() < count) {
        if (!waitReadable(fd_, deadline)) return false;
        char buffer[65536];
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
    out = pending_.substr(0, count);
    pending_.erase(0, count);
    return true;
}

std::string RawPeer::readRequest(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto end = pending_.find("\r\n\r\n"); end != std::string::npos) {
            std::string request = pending_.substr(0, end + 4);
            pending_.erase(0, end + 4);
            return request;
        }
        if (!waitReadable(fd_, deadline)) return "";
        char buffer[4096];
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got <= 0) return "";
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<WireFrame> RawPeer::readFrame(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string head;
    if (!readExact(head, 2, deadline)) return std::nullopt;
    WireFrame result;
    const auto first = static_cast<std::uint8_t>(head[0]);
    const auto second = static_cast<std::uint8_t>(head[1]);
    result.fin = (first & 0x80) != 0;
    result.rsv = (first >> 4) & 0x07;
    result.opcode = first & 0x0F;
    result.masked = (second & 0x80) != 0;
    result.lengthField = second & 0x7F;
    std::uint64_t length = result.lengthField;
    result.headerLength = 2;
    std::string extra;
    if (result.lengthField == 126) {
        if (!readExact(extra, 2, deadline)) return std::nullopt;
        length = (static_cast<std::uint8_t>(extra[0]) << 8) | static_cast<std::uint8_t>(extra[1]);
        result.headerLength = 4;
    } else if (result.lengthField == 127) {
        if (!readExact(extra, 8, deadline)) return std::nullopt;
        length = 0;
        for (char byte : extra) length = (length << 8) | static_cast<std::uint8_t>(byte);
        result.headerLength = 10;
    }
    std::string key;
    if (result.masked && !readExact(key, 4, deadline)) return std::nullopt;
    if (!readExact(result.payload, static_cast<std::size_t>(length), deadline)) return std::nullopt;
    if (result.masked) {
        for (std::size_t index = 0; index < result.payload.size(); ++index) result.payload[index] ^= key[index % 4];
    }
    return result;
}

std::optional<std::string> RawPeer::readUntilEnd(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string all = std::move(pending_);
    pending_.clear();
    for (;;) {
        if (!waitReadable(fd_, deadline)) return std::nullopt;
        char buffer[65536];
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return all;  // end (or reset) of the stream
        all.append(buffer, static_cast<std::size_t>(got));
    }
}

void awaitClose(RawPeer& peer) {
    while (auto next = peer.readFrame()) {
        if (next->opcode == 8) return;
    }
}

// The raw server.

RawServer::RawServer(Script script) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd_ < 0) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 4) != 0) {
        throw std::runtime_error("bind/listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);

    thread_ = std::thread([this, script = std::move(script)] {
        if (waitReadable(listenFd_, Clock::now() + 15s)) {
            const int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd >= 0) {
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                RawPeer peer(fd);
                script(peer);
            }
        }
        finished_.store(true, std::memory_order_release);
    });
}

RawServer::~RawServer() {
    if (thread_.joinable()) thread_.join();
    ::close(listenFd_);
}

std::string RawServer::url(const std::string& path) const {
    return "ws://127.0.0.1:" + std::to_string(port_) + path;
}

// Handshake helpers.

std::string headerValue(const std::string& request, const std::string& name) {
    std::size_t lineStart = request.find("\r\n");
    while (lineStart != std::string::npos) {
        lineStart += 2;
        const std::size_t lineEnd = request.find("\r\n", lineStart);
        if (lineEnd == std::string::npos || lineEnd == lineStart) break;
        const std::string line = request.substr(lineStart, lineEnd - lineStart);
        const auto colon = line.find(':');
        if (colon == name.size() && ::strncasecmp(line.data(), name.data(), name.size()) == 0) {
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            return value;
        }
        lineStart = lineEnd;
    }
    return "";
}

std::vector<std::string> headerNames(const std::string& request) {
    std::vector<std::string> names;
    std::size_t lineStart = request.find("\r\n");
    while (lineStart != std::string::npos) {
        lineStart += 2;
        const std::size_t lineEnd = request.find("\r\n", lineStart);
        if (lineEnd == std::string::npos || lineEnd == lineStart) break;
        const std::string line = request.substr(lineStart, lineEnd - lineStart);
        names.push_back(line.substr(0, line.find(':')));
        lineStart = lineEnd;
    }
    return names;
}

std::string handshakeResponse(const std::string& request, const std::string& extraHeaders, int status,
                              std::optional<std::string> accept) {
    const std::string key = headerValue(request, "Sec-WebSocket-Key");
    const std::string acceptValue =
        accept ? *accept : stringBySHA1ThenBase64Encoding(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
    std::string response = "HTTP/1.1 " + std::to_string(status) + " Switching Protocols\r\n";
    response += "Upgrade: websocket\r\nConnection: Upgrade\r\n";
    if (!acceptValue.empty()) response += "Sec-WebSocket-Accept: " + acceptValue + "\r\n";
    response += extraHeaders;
    response += "\r\n";
    return response;
}

// The recording listener.

void RecordingDelegate::webSocket(const std::shared_ptr<vSRWebSocket>& socket, SRMessage message) {
    order.push_back("message");
    if (onMessage) onMessage(socket, message);
    messages.push_back(std::move(message));
}

void RecordingDelegate::webSocketDidOpen(const std::shared_ptr<vSRWebSocket>& socket) {
    order.push_back("open");
    ++opens;
    if (onOpen) onOpen(socket);
}

void RecordingDelegate::webSocket(const std::shared_ptr<vSRWebSocket>&, const VornError& failure) {
    order.push_back("fail");
    error = failure;
}

void RecordingDelegate::webSocket(const std::shared_ptr<vSRWebSocket>&, std::int32_t code,
                                  const std::optional<std::string>& reason, bool wasClean) {
    order.push_back("close");
    closed = Close{code, reason, wasClean};
}

Client makeClient(const std::string& url, vSRWebSocket::Protocols protocols) {
    Client client{vSRWebSocket::initWithURL(url, std::move(protocols)), std::make_shared<RecordingDelegate>()};
    client.socket->setDelegate(client.delegate);
    return client;
}

Client makeClient(const SRURLRequest& request, vSRWebSocket::Protocols protocols) {
    Client client{vSRWebSocket::initWithURLRequest(request, std::move(protocols)),
                  std::make_shared<RecordingDelegate>()};
    client.socket->setDelegate(client.delegate);
    return client;
}

std::string textOf(const SRMessage& message) {
    if (auto* text = std::get_if<std::string>(&message)) return *text;
    const auto& bytes = std::get<SRData>(message);
    return std::string(bytes.begin(), bytes.end());
}

bool isText(const SRMessage& message) {
    return std::holds_alternative<std::string>(message);
}

// Certificates.

namespace {

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

TestCertificate makeCertificate(const std::string& subjectAltNames) {
    static std::atomic<long> serial{1};
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) throw std::runtime_error("EVP_EC_gen");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("vorn test"), -1, -1,
                               0);
    X509_set_issuer_name(certificate, name);

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_subject_alt_name, subjectAltNames.c_str()},
                              std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        if (!extension) throw std::runtime_error("X509V3_EXT_conf_nid");
        X509_add_ext(certificate, extension, -1);
        X509_EXTENSION_free(extension);
    }
    if (X509_sign(certificate, key, EVP_sha256()) == 0) throw std::runtime_error("X509_sign");

    TestCertificate result;
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    result.certificatePem = bioText(bio);
    BIO_free(bio);
    bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    result.privateKeyPem = bioText(bio);
    BIO_free(bio);
    const int length = i2d_X509(certificate, nullptr);
    result.der.resize(static_cast<std::size_t>(length));
    unsigned char* out = result.der.data();
    i2d_X509(certificate, &out);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return result;
}

std::string writeTemporaryFile(const std::string& contents) {
    char path[] = "/tmp/vorn-ws-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp");
    ::close(fd);
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

}  // namespace vorn::test
