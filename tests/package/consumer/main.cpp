// Saves an object, reads it back by a query and prints "consumer: ok".
// The emulator's address comes from VORN_API_HOST.
#include <vorn/vorn.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

int main() {
    using namespace std::chrono_literals;
    vorn::Vorn::registerWithAppKey("consumer-key", vorn::VornConfiguration{.bundleIdentifier = "com.vorn.consumer"});
    if (vorn::Vorn::getServerTimestamp().empty()) {
        std::fprintf(stderr, "consumer: the service did not answer\n");
        return 1;
    }

    // Each run saves its own text, so runs against one emulator stay apart.
    const std::string text = "run " + std::to_string(getpid());
    auto note = vorn::VornObject::objectWithClassName("ConsumerNote");
    note->setObject(text, "text");
    bool saved = false, ok = false;
    note->saveInBackgroundWithResultBlock([&](bool succeeded, const vorn::OptionalError&) {
        ok = succeeded;
        saved = true;
    });
    if (!vorn::MainLoop::shared().runUntil([&] { return saved; }, 30s) || !ok) {
        std::fprintf(stderr, "consumer: the save failed\n");
        return 1;
    }

    auto query = vorn::VornQuery::queryWithClassName("ConsumerNote");
    query->whereKeyEqualTo("text", text);
    bool found = false;
    std::size_t count = 0;
    query->findObjectsInBackgroundWithBlock(
        [&](const std::optional<vorn::VornObjectList>& objects, const vorn::OptionalError&) {
        count = objects ? objects->size() : 0;
        found = true;
    });
    if (!vorn::MainLoop::shared().runUntil([&] { return found; }, 30s) || count != 1) {
        std::fprintf(stderr, "consumer: the query found %zu objects\n", count);
        return 1;
    }
    std::printf("consumer: ok\n");
    return 0;
}
