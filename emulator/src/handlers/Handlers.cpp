#include "handlers/Handlers.h"

namespace vorn::emulator {

void registerBuiltinHandlers(Router& router) {
  registerTimestampHandlers(router);
  registerObjectHandlers(router);
  registerBatchHandlers(router);
  registerFindHandlers(router);
  registerUserHandlers(router);
  registerAccountPages(router);
  registerAdminHandlers(router);
}

}  // namespace vorn::emulator
