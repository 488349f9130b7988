// Registers with the service, asks it for the time, saves an object and
// changes it, finds and counts the saved objects, then signs a user up and
// logs in, waiting for each result on the main loop.
//
// The hosts default to the local emulator on 127.0.0.1:8470; VORN_API_HOST
// (and the other VORN_*_HOST variables) point elsewhere.
#include <vorn/vorn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace std::chrono_literals;

namespace {

/// Runs the main loop until one result callback has been called.
bool waitFor(bool& done) { return vorn::MainLoop::shared().runUntil([&] { return done; }, 30s); }

void print(const char* what, bool succeeded, const vorn::OptionalError& error) {
    if (succeeded) {
        std::printf("%s: ok\n", what);
    } else {
        std::printf("%s failed: %d %s\n", what, error ? error->code : 0, error ? error->message().c_str() : "");
    }
}

}  // namespace

int main() {
    const char* key = std::getenv("VORN_APP_KEY");
    vorn::Vorn::registerWithAppKey(key != nullptr ? key : "demo-app-key",
                                   vorn::VornConfiguration{.bundleIdentifier = "com.vorn.quickstart",
                                                           .displayName = "Quickstart"});

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

    score->incrementKey("score", 10);
    score->addUniqueObjectsFromArray({"first", "fast"}, "badges");
    bool updated = false;
    score->updateInBackgroundWithResultBlock([&](bool ok, const vorn::OptionalError& error) {
        print("update", ok, error);
        updated = true;
        succeeded = ok;
    });
    if (!waitFor(updated) || !succeeded) return 1;

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
    return 0;
}
