// Registers with the service, asks it for the time, saves an object and
// changes it, finds and counts the saved objects, signs a user up and logs
// in, uploads a small image and makes a thumbnail of it, and calls a cloud
// function, waiting for each result on the main loop. It also subscribes to
// changes of its object on the realtime channel and prints the notice that
// its update causes.
//
// The hosts default to the local emulator on 127.0.0.1:8470; VORN_API_HOST
// (and the other VORN_*_HOST variables) point elsewhere.
#include <vorn/vorn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

/// Runs the main loop until one result callback has been called.
bool waitFor(bool& done) {
    return vorn::MainLoop::shared().runUntil([&] { return done; }, 30s);
}

void print(const char* what, bool succeeded, const vorn::OptionalError& error) {
    if (succeeded) {
        std::printf("%s: ok\n", what);
    } else {
        std::printf("%s failed: %d %s\n", what, error ? error->code : 0, error ? error->message().c_str() : "");
    }
}

/// Subscribes to updates of one object once the realtime server is ready,
/// and keeps the notices.
struct ChangeListener : vorn::VornEventDelegate {
    std::string table, objectId;
    bool ready = false;
    std::vector<std::string> notices;

    void vornEventCanStartListen(const std::shared_ptr<vorn::VornEvent>& event) override {
        event->listenRowChange(vorn::VornActionTypeUpdateRow, table, objectId);
        ready = true;
    }
    void vornEvent(const std::shared_ptr<vorn::VornEvent>&, const nlohmann::json& notice) override {
        notices.push_back(notice.is_string() ? notice.get<std::string>() : notice.dump());
    }
};

}  // namespace

int main() {
    const char* key = std::getenv("VORN_APP_KEY");
    vorn::Vorn::registerWithAppKey(
        key != nullptr ? key : "demo-app-key",
        vorn::VornConfiguration{.bundleIdentifier = "com.vorn.quickstart", .displayName = "Quickstart"});

    // A blocking call, on this thread.
    const std::string time = vorn::Vorn::getServerTimestamp();
    if (time.empty()) {
        std::fprintf(stderr, "the service did not answer\n");
        return 1;
    }
    std::printf("server time: %s\n", time.c_str());

    // Asynchronous calls: their callbacks run on the main loop.
    auto score = vorn::VornObject::objectWithClassName("GameScore");
    score->setObject("Sean Plott", "playerName");
    score->setObject(1337, "score");
    score->setObject(std::chrono::system_clock::now(), "playedAt");
    score->setObject(vorn::VornGeoPoint(121.47, 31.23), "where");

    bool saved = false, succeeded = false;
    score->saveInBackgroundWithResultBlock([&](bool ok, const vorn::OptionalError& error) {
        print("save", ok, error);
        saved = true;
        succeeded = ok;
    });
    if (!waitFor(saved) || !succeeded) return 1;
    std::printf("saved GameScore %s\n", score->objectId()->c_str());

    // Realtime: watch this object's updates.
    auto listener = std::make_shared<ChangeListener>();
    listener->table = "GameScore";
    listener->objectId = *score->objectId();
    auto events = vorn::VornEvent::defaultVornEvent();
    events->setDelegate(listener);
    events->start();
    if (!waitFor(listener->ready)) {
        std::fprintf(stderr, "the realtime channel did not open\n");
        return 1;
    }
    std::printf("subscribed to updates of GameScore %s\n", listener->objectId.c_str());

    score->incrementKey("score", 10);
    score->addUniqueObjectsFromArray({"first", "fast"}, "badges");
    bool updated = false;
    score->updateInBackgroundWithResultBlock([&](bool ok, const vorn::OptionalError& error) {
        print("update", ok, error);
        updated = true;
        succeeded = ok;
    });
    if (!waitFor(updated) || !succeeded) return 1;
    if (!vorn::MainLoop::shared().runUntil([&] { return !listener->notices.empty(); }, 10s)) {
        std::fprintf(stderr, "no change notice arrived\n");
        return 1;
    }
    std::printf("change notice: %s\n", listener->notices.front().c_str());
    events->stop();

    // Queries: find the player's scores, best first, and count them.
    auto query = vorn::VornQuery::queryWithClassName("GameScore");
    query->whereKeyEqualTo("playerName", "Sean Plott");
    query->orderByDescending("score");
    bool found = false;
    query->findObjectsInBackgroundWithBlock(
        [&](const std::optional<vorn::VornObjectList>& scores, const vorn::OptionalError& error) {
        print("find", !error, error);
        if (scores && !scores->empty()) {
            std::printf("found %zu scores, the best is %s\n", scores->size(),
                        scores->front()->objectForKey("score")->json().dump().c_str());
        }
        found = true;
        succeeded = !error;
    });
    if (!waitFor(found) || !succeeded) return 1;

    bool counted = false;
    query->countObjectsInBackgroundWithBlock([&](int count, const vorn::OptionalError& error) {
        print("count", !error, error);
        std::printf("%d scores of Sean Plott\n", count);
        counted = true;
        succeeded = !error;
    });
    if (!waitFor(counted) || !succeeded) return 1;

    // Accounts: sign up (or log in when the name is taken), then log in.
    auto user = vorn::VornUser::init();
    user->setUserName("sean");
    user->setPassword("correct horse");
    user->setEmail("sean@example.com");
    bool signedUp = false;
    user->signUpInBackgroundWithBlock([&](bool ok, const vorn::OptionalError& error) {
        print("sign-up", ok, error);
        signedUp = true;
    });
    if (!waitFor(signedUp)) return 1;

    bool loggedIn = false;
    vorn::VornUser::logInWithUsernameInBackground(
        "sean", "correct horse", [&](const std::shared_ptr<vorn::VornUser>& current, const vorn::OptionalError& error) {
            print("log-in", current != nullptr, error);
            loggedIn = true;
            succeeded = current != nullptr;
        });
    if (!waitFor(loggedIn) || !succeeded) return 1;
    auto current = vorn::VornUser::getCurrentUser();
    std::printf("current user: %s (%s)\n", current->objectForKey("username")->json().get<std::string>().c_str(),
                current->objectId()->c_str());
    vorn::VornUser::logout();

    // Files: a 16 x 16 PNG, uploaded whole, then a thumbnail 8 pixels wide.
    const char* kPng =
        "iVBORw0KGgoAAAANSUhEUgAAABAAAAAQCAIAAACQkWg2AAABlklEQVR42hXRURVEIQhFUSMYgQhGMAIRiGCEE8EIRiACEYhABCLMG7/"
        "ZrMt1jMEc"
        "yGAN9kAHNjgDBnfwBj6IQQ5q0IMxJnMikzXZE53Y5EyY3Mmb+CQmOalJzw8IUxBhCVtQwYQjIFzhCS6EkEIJLR9YzIUs1mIvdGGLs2BxF2/"
        "hi1jk"
        "oha9PrCZG9mszd7oxjZnw+Zu3sY3sclNbXp/"
        "QJmKKEvZiiqmHAXlKk9xJZRUSmn9gDENMZaxDTXMOAbGNZ7hRhhplNH2gcM8yGEd9kEPdjgHDvfw"
        "Dn6IQx7q0OcD/wK/Sr4jv9hfkG/1N/x/Fx44BCQU9Pc94zIvclmXfdGLXc79j9/Lu/glLnmpS98PPOZDHuuxH/qwx3n/"
        "5ffxHv6IRz7q0e8DznTE"
        "Wc521DHn+D/KdZ7jTjjplNP+gWAGEqxgBxpYcOIf/AYv8CCCDCro+EAyE0lWshNNLDn5P/MmL/Ekkkwq6fxAMQspVrELLaw49S/lFq/"
        "wIoosquj6"
        "QDMbaVazG22sOf2v8Dav8SaabKrp5geIAnAQC3NfwAAAAABJRU5ErkJggg==";
    auto image = vorn::VornFile::initWithFileName("quickstart.png", vorn::vBase64::decodeString(kPng));
    bool uploaded = false;
    image->saveInBackground([&](bool ok, const vorn::OptionalError& error) {
        print("upload", ok, error);
        uploaded = true;
        succeeded = ok;
    });
    if (!waitFor(uploaded) || !succeeded) return 1;
    std::printf("image: %s\n", image->url()->c_str());

    bool thumbnailed = false;
    vorn::VornImage::thumbnailImageBySpecifiesTheWidth(
        8, 0, image->url(), 0,
        [&](const std::optional<vorn::VornImageResult>& result, const vorn::OptionalError& error) {
        print("thumbnail", !error, error);
        if (result) std::printf("thumbnail: %s\n", std::get<std::shared_ptr<vorn::VornFile>>(*result)->url()->c_str());
        thumbnailed = true;
        succeeded = !error;
        });
    if (!waitFor(thumbnailed) || !succeeded) return 1;

    // A cloud function: the emulator's built-in "hello".
    bool called = false;
    vorn::VornCloud::callFunctionInBackground(
        "hello", nlohmann::json{{"name", "Sean"}},
        [&](const std::optional<vorn::VornCloudResult>& result, const vorn::OptionalError& error) {
        print("cloud function", !error, error);
        if (result) {
            if (const auto* answer = std::get_if<nlohmann::json>(&*result)) {
                std::printf("hello answered: %s\n", answer->dump().c_str());
            } else {
                std::printf("hello answered: %s\n", std::get<std::string>(*result).c_str());
            }
        }
        called = true;
        succeeded = !error;
        });
    if (!waitFor(called) || !succeeded) return 1;
    return 0;
}
