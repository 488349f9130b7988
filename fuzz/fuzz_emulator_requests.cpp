// Any bytes as the body of a request to each route of the emulator (the
// first byte picks the route, the rest is the body), answered in-process by
// the same router the HTTP server uses. Every reply must be a JSON object
// with a result; nothing may crash. A fresh in-memory emulator now and then
// keeps the stored data small.
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Server.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr std::array<const char*, 20> kRoutes = {"/7/create",
                                                 "/7/update",
                                                 "/7/delete",
                                                 "/7/batch",
                                                 "/7/find",
                                                 "/7/signup",
                                                 "/7/login",
                                                 "/7/login_or_signup",
                                                 "/7/email_verify",
                                                 "/7/reset",
                                                 "/7/phone_request_reset",
                                                 "/7/phone_reset",
                                                 "/7/timestamp",
                                                 "/7/files",
                                                 "/7/mkfile",
                                                 "/7/mkfile/next",
                                                 "/7/thumbnail",
                                                 "/7/watermark",
                                                 "/7/push",
                                                 "/7/unknown"};

std::unique_ptr<vorn::emulator::Server> server;
int served = 0;

vorn::emulator::Server& emulator() {
    if (!server || ++served % 2000 == 0) {
        vorn::emulator::Options options;
        options.port = 0;
        options.memory = true;
        options.appKey = "key";
        server.reset();
        server = std::make_unique<vorn::emulator::Server>(options);
    }
    return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    vorn::emulator::Request request;
    request.method = "POST";
    request.target = kRoutes[data[0] % kRoutes.size()];
    request.headers.add("X-Vorn-App-Key", "key");
    request.headers.add("Content-Type", "application/json");
    if (data[0] & 0x80) request.headers.add("X-Vorn-Session-Token", "fuzz-token");
    request.body.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto response = emulator().router().dispatch(request);
    const auto body = nlohmann::json::parse(response.body, nullptr, false);
    if (!body.is_object() || !body.contains("result")) std::abort();
    return 0;
}
