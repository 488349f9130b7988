#include "vorn/data/VornObjectRegistry.h"

#include "vorn/data/VornObject.h"

namespace vorn {

VornObjectRegistry& VornObjectRegistry::shared() {
    static VornObjectRegistry* registry = [] {
        auto* created = new VornObjectRegistry();
        registerBuiltinObjectKinds(*created);
        return created;
    }();
    return *registry;
}

void VornObjectRegistry::registerKind(const std::string& className, Factory factory) {
    std::lock_guard lock(mutex_);
    factories_[className] = std::move(factory);
}

std::shared_ptr<VornObject> VornObjectRegistry::makeObject(const std::string& className) const {
    Factory factory;
    {
        std::lock_guard lock(mutex_);
        if (auto it = factories_.find(className); it != factories_.end()) factory = it->second;
    }
    if (factory) {
        if (auto object = factory(className)) return object;
    }
    return VornObject::initWithClassName(className);
}

}  // namespace vorn
