#include "vorn/core/VornNotificationCenter.h"

#include <vector>

namespace vorn {

VornNotificationCenter& VornNotificationCenter::defaultCenter() {
    static VornNotificationCenter* center = new VornNotificationCenter();
    return *center;
}

VornNotificationCenter::Token VornNotificationCenter::addObserverForName(const std::string& name, Observer observer) {
    std::lock_guard lock(mutex_);
    const Token token = next_++;
    observers_.emplace(token, Entry{name, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void VornNotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

void VornNotificationCenter::postNotification(const VornNotification& notification) {
    // Observers are called without the lock, so they may add or remove observers.
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, entry] : observers_) {
            if (entry.name.empty() || entry.name == notification.name) matching.push_back(entry.observer);
        }
    }
    for (const auto& observer : matching) (*observer)(notification);
}

}  // namespace vorn
