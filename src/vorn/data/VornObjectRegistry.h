#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vorn {

class VornObject;

/// Which kind of object stands for a service class: "_User" objects read
/// from the service become `VornUser`, "_Role" `VornRole`, and so on. The
/// modules that define those kinds register them here, so the data layer
/// does not depend on them.
class VornObjectRegistry {
public:
    /// Makes an empty object of the given class.
    using Factory = std::function<std::shared_ptr<VornObject>(const std::string& className)>;

    /// The one registry of the process.
    static VornObjectRegistry& shared();

    /// Makes objects of the class with `factory`, replacing an earlier registration.
    void registerKind(const std::string& className, Factory factory);
    /// A new, empty object of the kind registered for the class, or a plain
    /// `VornObject` of that class.
    std::shared_ptr<VornObject> makeObject(const std::string& className) const;

private:
    VornObjectRegistry() = default;
    mutable std::mutex mutex_;
    std::map<std::string, Factory> factories_;
};

/// Registers the library's own kinds; called once when the registry is first used.
void registerBuiltinObjectKinds(VornObjectRegistry& registry);

}  // namespace vorn
