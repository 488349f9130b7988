#include "vorn/core/StoredDeviceIdSource.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/v_VornUtils.h"

#include <openssl/rand.h>

#include <chrono>
#include <cstdio>

namespace vorn {
namespace {
constexpr const char* kRecordKey = storekeys::kOpenUDID;
}

std::string StoredDeviceIdSource::generateIdentifier() {
    std::uint32_t random = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&random), sizeof(random));
    char suffix[9];
    std::snprintf(suffix, sizeof(suffix), "%08lx", static_cast<unsigned long>(random));
    return v_VornUtils::md5WithString(v_VornUtils::uuid()) + suffix;
}

std::optional<std::string> StoredDeviceIdSource::deviceIdentifier() {
    std::lock_guard lock(mutex_);
    if (cached_) return cached_;
    auto store = DeviceContext::shared().store();
    auto record = store->objectForKey(kRecordKey);
    if (record && record->is_object()) {
        auto it = record->find(kRecordKey);
        if (it != record->end() && it->is_string() && it->get<std::string>().size() == 40) {
            cached_ = it->get<std::string>();
            return cached_;
        }
    }
    nlohmann::json fresh = nlohmann::json::object();
    fresh[kRecordKey] = generateIdentifier();
    fresh["OpenUDID_appUID"] = v_VornUtils::uuid();
    fresh["OpenUDID_createdTS"] = v_VornUtils::stringOfDate(std::chrono::system_clock::now());
    store->setObject(fresh, kRecordKey);
    cached_ = fresh[kRecordKey].get<std::string>();
    return cached_;
}

}  // namespace vorn
