// A chat room on the realtime channel: the room subscribes to new messages
// of its table, two people post, and every message arrives as a change
// notice, in order, with its text.
//
// The hosts default to the local emulator (127.0.0.1:8470, realtime on
// port 3010); VORN_API_HOST and VORN_REALTIME_HOST point elsewhere.
#include <vorn/vorn.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr const char* kHello = "(joined)";

/// Listens to one room's table and keeps the messages it hears of.
struct Room : vorn::VornEventDelegate {
    std::string name;
    bool listening = false;
    bool joined = false;  // heard its own hello
    std::vector<std::string> heard;

    void vornEventCanStartListen(const std::shared_ptr<vorn::VornEvent>& event) override {
        event->listenTableChange(vorn::VornActionTypeUpdateTable, "ChatMessage");
        listening = true;
    }
    void vornEvent(const std::shared_ptr<vorn::VornEvent>&, const nlohmann::json& notice) override {
        // The notice names the change; the object comes along when anyone may read it.
        const nlohmann::json parsed =
            notice.is_string() ? nlohmann::json::parse(notice.get<std::string>(), nullptr, false) : notice;
        if (!parsed.is_object() || !parsed.contains("object")) return;
        const auto& object = parsed["object"];
        if (object.value("room", "") != name) return;
        if (object.value("text", "") == kHello) {
            joined = true;
            return;
        }
        const std::string line = object.value("from", "?") + ": " + object.value("text", "");
        std::printf("  %s\n", line.c_str());
        heard.push_back(line);
    }
    void vornEvent(const std::shared_ptr<vorn::VornEvent>&, const vorn::VornError& error) override {
        std::printf("realtime error: %s\n", error.message().c_str());
    }
};

bool post(const std::string& room, const std::string& from, const std::string& text) {
    auto message = vorn::VornObject::objectWithClassName("ChatMessage");
    message->setObject(room, "room");
    message->setObject(from, "from");
    message->setObject(text, "text");
    bool done = false, ok = false;
    message->saveInBackgroundWithResultBlock([&](bool succeeded, const vorn::OptionalError&) {
        ok = succeeded;
        done = true;
    });
    return vorn::MainLoop::shared().runUntil([&] { return done; }, 30s) && ok;
}

}  // namespace

int main() {
    const char* key = std::getenv("VORN_APP_KEY");
    vorn::Vorn::registerWithAppKey(key != nullptr ? key : "demo-app-key",
                                   vorn::VornConfiguration{.bundleIdentifier = "com.vorn.chat"});

    auto room = std::make_shared<Room>();
    room->name = "lobby-" + std::to_string(getpid());
    auto events = vorn::VornEvent::defaultVornEvent();
    events->setDelegate(room);
    events->start();
    if (!vorn::MainLoop::shared().runUntil([&] { return room->listening; }, 30s)) {
        std::fprintf(stderr, "chat: the realtime channel did not open\n");
        return 1;
    }
    std::printf("chat: listening to %s\n", room->name.c_str());

    // The subscription and the saves travel on different connections, so a
    // save made at once may reach the service before the subscription does:
    // say hello until the room hears it, then chat.
    for (int attempt = 0; attempt < 10 && !room->joined; ++attempt) {
        if (!post(room->name, "ada", kHello)) return 1;
        vorn::MainLoop::shared().runUntil([&] { return room->joined; }, 1s);
    }
    if (!room->joined) {
        std::fprintf(stderr, "chat: the room heard nothing\n");
        return 1;
    }

    const std::vector<std::pair<std::string, std::string>> script = {
        {"ada", "hello, anyone here?"}, {"grace", "hi ada!"}, {"ada", "shall we ship it?"}};
    for (const auto& [from, text] : script) {
        if (!post(room->name, from, text)) return 1;
    }
    const bool heardAll = vorn::MainLoop::shared().runUntil([&] { return room->heard.size() == script.size(); }, 10s);
    events->stop();
    if (!heardAll) {
        std::fprintf(stderr, "chat: heard %zu of %zu messages\n", room->heard.size(), script.size());
        return 1;
    }
    std::printf("chat: ok\n");
    return 0;
}
