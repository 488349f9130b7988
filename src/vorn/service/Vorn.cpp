#include "vorn/service/Vorn.h"

#include "vorn/core/v_Vorn.h"
#include "vorn/service/VornService.h"

namespace vorn {

void Vorn::registerWithAppKey(const std::string& appKey) {
    v_Vorn::registWithAppKey(appKey);
}

void Vorn::registerWithAppKey(const std::string& appKey, const VornConfiguration& configuration) {
    configure(configuration);
    registerWithAppKey(appKey);
}

void Vorn::configure(const VornConfiguration& configuration) {
    DeviceContext::shared().configure(configuration);
}

std::string Vorn::getServerTimestamp() {
    VornServiceCall call;
    call.path = "timestamp";
    call.c = nullptr;
    call.objectId = nullptr;
    call.data = nullptr;
    const auto reply = VornService::sendSynchronously(call);
    if (!reply.succeeded()) return "";
    const auto* data = reply.validData();
    if (data == nullptr || !data->is_object()) return "";
    auto time = data->find("S");
    if (time == data->end() || time->is_null()) return "";
    return time->is_string() ? time->get<std::string>() : time->dump();
}

}  // namespace vorn
