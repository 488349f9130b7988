// POST /7/timestamp: the service's clock.
//   data: {"S": "yyyy-MM-dd HH:mm:ss" (local time), "ms": epoch milliseconds}

#include "handlers/Handlers.h"
#include "vorn_emulator/DateText.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator {

void registerTimestampHandlers(Router& router) {
    router.addEnvelope("/7/timestamp", [](RequestContext&) {
        const auto now = Clock::now();
        return nlohmann::json{{"S", formatDateText(now)}, {"ms", epochMillis(now)}};
    });
}

}  // namespace vorn::emulator
