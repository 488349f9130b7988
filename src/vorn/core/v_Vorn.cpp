#include "vorn/core/v_Vorn.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/VornNotificationCenter.h"
#include "vorn/core/v_VornUtils.h"

namespace vorn {

void v_Vorn::registWithAppKey(const std::string& appKey) {
    auto store = DeviceContext::shared().store();
    store->setObject(v_VornUtils::fileDownloadAddress(), storekeys::kFileUrl);
    if (auto encoded = v_VornUtils::encodeBase64String(appKey)) {
        store->setObject(*encoded, storekeys::kAppKey);
    } else {
        // An empty key encodes to nothing: no key is stored.
        store->removeObjectForKey(storekeys::kAppKey);
    }
    if (!store->hasKey(storekeys::kGPSOpen)) store->setObject(true, storekeys::kGPSOpen);
    VornNotificationCenter::defaultCenter().postNotification(VornNotification{kVornDidRegisterNotification, nullptr});
}

}  // namespace vorn
