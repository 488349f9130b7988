// The object kinds of the library, known to the data layer through its
// registry. Each kind's module adds its line here.
#include "vorn/data/VornObjectRegistry.h"

namespace vorn {

void registerBuiltinObjectKinds(VornObjectRegistry& registry) { (void)registry; }

}  // namespace vorn
