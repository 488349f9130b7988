// Offline: a note-taking app on a train. Notes are written while the train
// is in a tunnel (the emulator is told to drop the next calls, the way a
// lost connection drops them); each write goes to the journal of eventual
// writes on disk at once, and reaches the service, in order, when the
// connection is back. A note created in the tunnel and edited twice
// arrives as one note with both edits.
//
// The hosts default to the local emulator on 127.0.0.1:8470; VORN_API_HOST
// points elsewhere.
#include <vorn/vorn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The emulator drops the next `count` calls of `path` unanswered.
bool enterTunnel(const std::string& path, int count) {
    auto fault =
        vorn::VornUrlRequest::initWithUrl("http://" + vorn::DeviceContext::shared().hosts().api + "/admin/faults");
    fault->setHttpMethod("POST");
    fault->addValue("application/json", "Content-Type");
    fault->setPostBody(nlohmann::json{{"path", path}, {"mode", "drop"}, {"count", count}}.dump());
    fault->startSyncConnection();
    // The emulator answers the fault as it keeps it.
    const auto kept = nlohmann::json::parse(fault->responseString(), nullptr, false);
    return kept.is_object() && kept.value("path", "") == path;
}

}  // namespace

int main() {
    const char* key = std::getenv("VORN_APP_KEY");
    vorn::Vorn::registerWithAppKey(key != nullptr ? key : "demo-app-key",
                                   vorn::VornConfiguration{.bundleIdentifier = "com.vorn.offline"});
    // Retry soon in a demonstration; an application keeps the default backoff (1 s doubling to 60 s).
    vorn::VornEventually::shared().setRetryDelays(100ms, 1s);
    if (!enterTunnel("/7/create", 2) || !enterTunnel("/7/update", 2)) {
        std::fprintf(stderr, "offline: the emulator took no faults\n");
        return 1;
    }

    std::vector<std::string> answers;
    auto answer = [&answers](const std::string& what) {
        return [&answers, what](bool succeeded, const vorn::OptionalError& error) {
            answers.push_back(what + (succeeded ? "" : " failed: " + (error ? error->message() : std::string("?"))));
            std::printf("answered: %s\n", answers.back().c_str());
        };
    };

    // In the tunnel: a new note, edited twice, and a second note.
    auto note = vorn::VornObject::objectWithClassName("Note");
    note->setObject(vorn::VornValue("Buy tickets"), "title");
    note->saveEventually(answer("first note"));
    note->setObject(vorn::VornValue("Buy tickets for Saturday"), "title");
    note->saveEventually(answer("first edit"));
    note->incrementKey("edits");
    note->saveEventually(answer("edit count"));
    auto other = vorn::VornObject::objectWithClassName("Note");
    other->setObject(vorn::VornValue("Call the station"), "title");
    other->saveEventually(answer("second note"));
    std::printf("kept on disk: %zu writes\n", vorn::VornObject::pendingEventuallyCount());

    // Out of the tunnel: the retries go through once the faults are used up.
    const bool drained = vorn::MainLoop::shared().runUntil(
        [&] { return answers.size() == 4 && vorn::VornObject::pendingEventuallyCount() == 0; }, 30s);
    if (!drained || !note->objectId() || !other->objectId()) {
        std::fprintf(stderr, "offline: %zu answers, %zu writes still kept\n", answers.size(),
                     vorn::VornObject::pendingEventuallyCount());
        return 1;
    }

    // What the service holds now.
    bool done = false;
    std::optional<nlohmann::json> stored;
    auto query = vorn::VornQuery::queryWithClassName("Note");
    query->getObjectInBackgroundWithId(
        *note->objectId(), [&](const std::shared_ptr<vorn::VornObject>& object, const vorn::OptionalError&) {
            if (object)
                stored = nlohmann::json{{"title", object->objectForKey("title")->json()},
                                        {"edits", object->objectForKey("edits")->json()}};
            done = true;
        });
    vorn::MainLoop::shared().runUntil([&] { return done; }, 30s);
    std::printf("stored: %s\n", stored ? stored->dump().c_str() : "nothing");
    if (!stored || (*stored)["title"] != "Buy tickets for Saturday" || (*stored)["edits"] != 1) return 1;
    for (const auto& text : answers) {
        if (text.find("failed") != std::string::npos) return 1;
    }
    std::printf("offline: ok\n");
    return 0;
}
