#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vorn {

/// A notification: its name and the object that sent it.
struct VornNotification {
    std::string name;
    std::shared_ptr<void> object;
};

/// A process-wide centre where parts of the library announce events and
/// the application observes them. Observers run on the thread that posts.
class VornNotificationCenter {
public:
    using Observer = std::function<void(const VornNotification& notification)>;
    using Token = std::uint64_t;

    static VornNotificationCenter& defaultCenter();

    /// Observes notifications of `name` ("" observes every name); keep the
    /// token to remove the observer.
    Token addObserverForName(const std::string& name, Observer observer);
    void removeObserver(Token token);
    /// Calls every matching observer, in the order they were added.
    void postNotification(const VornNotification& notification);

private:
    struct Entry {
        std::string name;
        std::shared_ptr<Observer> observer;
    };
    std::mutex mutex_;
    Token next_ = 1;
    std::map<Token, Entry> observers_;
};

}  // namespace vorn
