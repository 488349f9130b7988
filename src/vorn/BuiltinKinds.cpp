// The object kinds of the library, known to the data layer through its
// registry: objects of these classes read from the service are made as
// their own kind.
#include "vorn/data/VornObjectRegistry.h"
#include "vorn/push/VornInstallation.h"
#include "vorn/users/VornRole.h"
#include "vorn/users/VornUser.h"

namespace vorn {

void registerBuiltinObjectKinds(VornObjectRegistry& registry) {
    registry.registerKind("_User", [](const std::string&) { return VornUser::init(); });
    registry.registerKind("_Role", [](const std::string&) { return VornRole::init(); });
    registry.registerKind("_Installation", [](const std::string&) { return VornInstallation::init(); });
}

}  // namespace vorn
