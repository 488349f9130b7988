// A WebSocket echo client for conformance test suites:
//
//   ws_echo URL [--protocol NAME]...
//
// connects to the URL, sends back every message it receives with the same
// type (text as text, binary as binary), and when the connection ends prints
// exactly one last line on standard output and exits 0:
//
//   closed <code> <clean:true|false> <reason>
//   failed <domain> <code> <message>
#include <vorn/core/MainLoop.h>
#include <vorn/websocket/vSRWebSocket.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

class EchoDelegate : public vorn::SRWebSocketDelegate {
public:
    using vorn::SRWebSocketDelegate::webSocket;

    void webSocket(const std::shared_ptr<vorn::vSRWebSocket>& socket, vorn::SRMessage message) override {
        if (auto* text = std::get_if<std::string>(&message)) {
            socket->send(std::move(*text));
        } else {
            socket->send(std::move(std::get<vorn::SRData>(message)));
        }
    }

    void webSocket(const std::shared_ptr<vorn::vSRWebSocket>&, const vorn::VornError& error) override {
        finish("failed " + error.domain + " " + std::to_string(error.code) + " " + error.message());
    }

    void webSocket(const std::shared_ptr<vorn::vSRWebSocket>&, std::int32_t code,
                   const std::optional<std::string>& reason, bool wasClean) override {
        finish("closed " + std::to_string(code) + " " + (wasClean ? "true" : "false") + " " + reason.value_or(""));
    }

    bool done() const { return done_; }

private:
    void finish(const std::string& line) {
        if (done_) return;
        done_ = true;
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        vorn::MainLoop::shared().stop();
    }

    bool done_ = false;
};

int usage() {
    std::fprintf(stderr, "usage: ws_echo URL [--protocol NAME]...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    std::string url;
    std::vector<std::string> protocols;
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--protocol") == 0) {
            if (index + 1 >= argc) return usage();
            protocols.emplace_back(argv[++index]);
        } else if (url.empty()) {
            url = argv[index];
        } else {
            return usage();
        }
    }
    if (url.empty()) return usage();

    std::shared_ptr<vorn::vSRWebSocket> socket;
    try {
        socket =
            protocols.empty() ? vorn::vSRWebSocket::initWithURL(url) : vorn::vSRWebSocket::initWithURL(url, protocols);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ws_echo: %s\n", error.what());
        return 2;
    }
    auto delegate = std::make_shared<EchoDelegate>();
    socket->setDelegate(delegate);
    socket->open();
    while (!delegate->done()) vorn::MainLoop::shared().run();
    return 0;
}
