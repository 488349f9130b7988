#pragma once

#include "vorn/core/DeviceSources.h"

#include <mutex>

namespace vorn {

/// A device identifier made once (40 lower-case hexadecimal digits) and
/// kept in the key-value store's "OpenUDID" record, so it survives
/// restarts. Each application keeps its own.
class StoredDeviceIdSource : public DeviceIdSource {
public:
    std::optional<std::string> deviceIdentifier() override;

    /// A new identifier: the MD5 of a fresh UUID text in hexadecimal,
    /// followed by a random 32-bit number as eight hexadecimal digits.
    static std::string generateIdentifier();

private:
    std::mutex mutex_;
    std::optional<std::string> cached_;
};

}  // namespace vorn
