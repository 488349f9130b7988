#include "handlers/Handlers.h"

namespace vorn::emulator {

void registerBuiltinHandlers(Router& router, const HandlerServices& services) {
    registerTimestampHandlers(router);
    registerObjectHandlers(router);
    registerBatchHandlers(router);
    registerFindHandlers(router);
    registerUserHandlers(router);
    registerAccountPages(router);
    registerAdminHandlers(router, services);
    registerFileHandlers(router, services.files);
    registerImageHandlers(router, services.files);
    registerPushHandlers(router);
    registerCloudHandlers(router, services.functions);
}

}  // namespace vorn::emulator
