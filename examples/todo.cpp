// A to-do list: two users, each with items only they may read and change,
// a shared item everyone may read, and the list read again from the local
// result cache without the network.
//
// The hosts default to the local emulator on 127.0.0.1:8470; VORN_API_HOST
// (and the other VORN_*_HOST variables) point elsewhere.
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

/// Signs the user up, or logs in when the name is taken already.
std::shared_ptr<vorn::VornUser> signUpOrLogIn(const std::string& name, const std::string& password) {
    auto user = vorn::VornUser::init();
    user->setUserName(name);
    user->setPassword(password);
    bool done = false, ok = false;
    user->signUpInBackgroundWithBlock([&](bool succeeded, const vorn::OptionalError&) {
        ok = succeeded;
        done = true;
    });
    if (!wait(done)) return nullptr;
    if (!ok) {
        done = false;
        vorn::VornUser::logInWithUsernameInBackground(
            name, password, [&](const std::shared_ptr<vorn::VornUser>&, const vorn::OptionalError&) { done = true; });
        if (!wait(done)) return nullptr;
    }
    return vorn::VornUser::getCurrentUser();
}

/// Saves an item readable and writable by its owner only, or by everyone
/// for reading when `shared`.
bool addItem(const std::shared_ptr<vorn::VornUser>& owner, const std::string& list, const std::string& title,
             bool shared) {
    auto item = vorn::VornObject::objectWithClassName("TodoItem");
    item->setObject(list, "list");
    item->setObject(title, "title");
    item->setObject(false, "done");
    // Each setter leaves one rule per principal (the last one set), so the
    // owner's read-and-write rule is written as a map.
    auto acl = vorn::VornACL::ACL();
    acl->setAclDictionary({{*owner->objectId(), {{"read", true}, {"write", true}}}});
    if (shared) acl->setPublicReadAccess();
    item->setACL(acl);
    bool done = false, ok = false;
    item->saveInBackgroundWithResultBlock([&](bool succeeded, const vorn::OptionalError& error) {
        if (!succeeded)
            std::printf("save of \"%s\" failed: %s\n", title.c_str(), error ? error->message().c_str() : "");
        ok = succeeded;
        done = true;
    });
    return wait(done) && ok;
}

/// The titles of the list's items that the current user may read.
int showList(const std::string& list, int cachePolicy, const char* heading) {
    auto query = vorn::VornQuery::queryWithClassName("TodoItem");
    query->whereKeyEqualTo("list", list);
    query->orderByAscending("title");
    query->setCachePolicy(cachePolicy);
    bool done = false;
    int shown = -1;
    query->findObjectsInBackgroundWithBlock(
        [&](const std::optional<vorn::VornObjectList>& items, const vorn::OptionalError& error) {
        if (error) std::printf("%s: the find failed: %s\n", heading, error->message().c_str());
        if (items) {
            shown = static_cast<int>(items->size());
            std::printf("%s: %d items\n", heading, shown);
            for (const auto& item : *items) {
                std::printf("  - %s\n", item->objectForKey("title")->json().get<std::string>().c_str());
            }
        }
        done = true;
    });
    wait(done);
    return shown;
}

}  // namespace

int main() {
    const char* key = std::getenv("VORN_APP_KEY");
    vorn::Vorn::registerWithAppKey(key != nullptr ? key : "demo-app-key",
                                   vorn::VornConfiguration{.bundleIdentifier = "com.vorn.todo"});
    // One list per run, so that runs against one emulator stay apart.
    const std::string list = "groceries-" + std::to_string(getpid());

    auto alice = signUpOrLogIn("alice-" + list, "alice's secret");
    if (!alice || !addItem(alice, list, "apples", false) || !addItem(alice, list, "bread", true)) return 1;
    vorn::VornUser::logout();

    auto bob = signUpOrLogIn("bob-" + list, "bob's secret");
    if (!bob || !addItem(bob, list, "coffee", false)) return 1;
    // Bob sees his own item and Alice's shared one, not her private one.
    const int bobSees = showList(list, vorn::kVornCachePolicyNetworkOnly, "bob's view");
    vorn::VornUser::logout();

    signUpOrLogIn("alice-" + list, "alice's secret");
    // Read from the service, and kept in the local cache...
    const int aliceSees = showList(list, vorn::kVornCachePolicyNetworkElseCache, "alice's view");
    // ...so that the same query answers from the cache alone.
    const int cached = showList(list, vorn::kVornCachePolicyCacheOnly, "alice's view from the cache");
    vorn::VornUser::logout();

    if (bobSees != 2 || aliceSees != 2 || cached != 2) {
        std::printf("todo: unexpected views (%d, %d, %d)\n", bobSees, aliceSees, cached);
        return 1;
    }
    std::printf("todo: ok\n");
    return 0;
}
