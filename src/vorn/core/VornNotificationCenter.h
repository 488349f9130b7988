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
    /// The notification's name.
    std::string name;
    /// The object that sent it; may be empty.
    std::shared_ptr<void> object;
};

/// A process-wide centre where parts of the library announce events and
/// the application observes them. Observers run on the thread that posts.
class VornNotificationCenter {
public:
    /// Called with each matching notification.
    using Observer = std::function<void(const VornNotification& notification)>;
    /// Names an added observer.
    using Token = std::uint64_t;

    /// The one centre of the process.
    static VornNotificationCenter& defaultCenter();

    /// Observes notifications of `name` ("" observes every name); keep the
    /// token to remove the observer.
    Token addObserverForName(const std::string& name, Observer observer);
    /// Removes the observer added with `token`.
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
