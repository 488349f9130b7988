#include "handlers/Handlers.h"

namespace vorn::emulator {

void registerBuiltinHandlers(Router& router) { registerTimestampHandlers(router); }

}  // namespace vorn::emulator
