#include "handlers/Handlers.h"

namespace vorn::emulator {

void registerBuiltinHandlers(Router& router, const HandlerServices& services) {
    registerTimestampHandlers(router);
    registerObjectHandlers(router);
    registerBatchHandlers(router);
    registerFindHandlers(router, services.objects);
    registerUserHandlers(router);
    registerAccountPages(router);
    registerAdminHandlers(router, services);
    registerFileHandlers(router, services.files);
    registerImageHandlers(router, services.files);
    registerPushHandlers(router, services.objects);
    registerCloudHandlers(router, services.functions);
}

}  // namespace vorn::emulator
