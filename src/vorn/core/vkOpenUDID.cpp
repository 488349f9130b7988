#include "vorn/core/vkOpenUDID.h"

#include "vorn/core/DeviceContext.h"

namespace vorn {

std::optional<std::string> vkOpenUDID::value() {
    auto source = DeviceContext::shared().deviceIdSource();
    if (!source) return std::nullopt;
    return source->deviceIdentifier();
}

}  // namespace vorn
