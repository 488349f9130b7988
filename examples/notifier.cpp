// A notifier: this device registers its installation with a push token and
// two channels, then a message goes to one channel and some data to a query
// over installations. The emulator sends no real notification; it records
// each delivery, and the program reads that log back from the emulator's
// admin page to show what each device would have received.
//
// The hosts default to the local emulator on 127.0.0.1:8470; VORN_API_HOST
// points elsewhere.
#include <vorn/vorn.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

using namespace std::chrono_literals;

namespace {

bool wait(const bool& done) {
    return vorn::MainLoop::shared().runUntil([&] { return done; }, 30s);
}

bool report(const char* what, bool& done, bool ok, const vorn::OptionalError& error) {
    std::printf("%s: %s\n", what, ok ? "ok" : (error ? error->message().c_str() : "failed"));
    done = true;
    return ok;
}

}  // namespace

int main() {
    const char* key = std::getenv("VORN_APP_KEY");
    vorn::Vorn::registerWithAppKey(key != nullptr ? key : "demo-app-key",
                                   vorn::VornConfiguration{.bundleIdentifier = "com.vorn.notifier"});
    const std::string channel = "news-" + std::to_string(getpid());

    // The device's push token, as the platform would hand it over.
    const vorn::Bytes token = {
        0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78, static_cast<std::uint8_t>(getpid() & 0xff), 0x96, 0xa5, 0xb4};
    auto installation = vorn::VornInstallation::currentInstallation();
    installation->setDeviceTokenFromData(token);
    installation->subsccribeToChannels(nlohmann::json::array({channel, "weather"}));
    installation->setBadge(0);
    bool done = false, ok = false;
    installation->saveInBackgroundWithResultBlock(
        [&](bool succeeded, const vorn::OptionalError& error) { ok = report("installation", done, succeeded, error); });
    if (!wait(done) || !ok) return 1;
    std::printf("installation %s, token %s\n", installation->objectId()->c_str(), installation->deviceToken()->c_str());

    // A message to everyone on the channel.
    done = false;
    vorn::VornPush::sendPushMessageToChannelInBackground(channel, std::string("Extra! Extra!"),
                                                         [&](bool succeeded, const vorn::OptionalError& error) {
        ok = report("push to channel", done, succeeded, error);
    });
    if (!wait(done) || !ok) return 1;

    // Data to the installations a query picks: this device's token.
    auto query = vorn::VornInstallation::query();
    query->whereKeyEqualTo("deviceToken", *installation->deviceToken());
    done = false;
    vorn::VornPush::sendPushDataToQueryInBackground(
        query, nlohmann::json{{"alert", "Your order shipped"}, {"badge", "Increment"}, {"order", 42}},
        [&](bool succeeded, const vorn::OptionalError& error) {
        ok = report("push to query", done, succeeded, error);
        });
    if (!wait(done) || !ok) return 1;

    // What the emulator recorded for this device.
    auto log =
        vorn::VornUrlRequest::initWithUrl("http://" + vorn::DeviceContext::shared().hosts().api + "/admin/pushes");
    log->setHttpMethod("GET");
    log->startSyncConnection();
    const auto deliveries = nlohmann::json::parse(log->responseString(), nullptr, false);
    int received = 0;
    if (deliveries.is_array()) {
        for (const auto& delivery : deliveries) {
            if (delivery.value("deviceToken", nlohmann::json()) != *installation->deviceToken()) continue;
            ++received;
            std::printf("delivered (%s): %s\n", delivery.value("status", "?").c_str(),
                        delivery.value("payload", nlohmann::json()).dump().c_str());
        }
    }
    if (received != 2) {
        std::fprintf(stderr, "notifier: %d deliveries to this device\n", received);
        return 1;
    }
    std::printf("notifier: ok\n");
    return 0;
}
