#pragma once

#include "vorn/core/DeviceSources.h"
#include "vorn/core/VornError.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace vorn {

/// The device identifier shared by the applications of the device: each
/// application keeps a local record in its key-value store and copies of
/// its record in up to 100 shared slots; the identifier most slots hold
/// wins. Computed once per process, then served from a cache.
class vkOpenUDID {
public:
    /// The protocol's label: the domain of its statuses, and the prefix of
    /// the slot names ("<label>.slot.<n>").
    static constexpr const char* kOpenUDIDDomain = "com.vorn.openudid";
    /// The number of shared slots.
    static constexpr int kOpenUDIDSlotCount = 100;

    /// The status codes of a computation.
    enum Status : int {
        kOpenUDIDErrorNone = 0,         ///< the identifier was computed without trouble
        kOpenUDIDErrorOptedOut = 1,     ///< this application opted out
        kOpenUDIDErrorCompromised = 2,  ///< the slots disagree with the local record
    };

    /// The identifier: 40 lower-case hexadecimal characters, or forty "0"
    /// when this application opted out.
    static std::string value();
    /// The identifier, with the status of its computation in `status`
    /// (domain `kOpenUDIDDomain`, code 0, 1 or 2, message under "description").
    static std::string valueWithError(std::optional<VornError>* status);
    /// Opts this application out of (or back into) the identifier.
    static void setOptOut(bool optOutValue);

    /// A new identifier: MD5 of a fresh UUID text in hexadecimal, then a
    /// random 32-bit number as eight hexadecimal digits.
    static std::string _generateFreshOpenUDID();
    /// The record held by a slot; an empty map when it holds none or its
    /// contents cannot be read as a map.
    static nlohmann::json _getDictFromPasteboard(const std::string& pasteboard);
    /// Stores a record in a slot.
    static void _setDict(const nlohmann::json& dict, const std::string& pasteboard);
    /// The name of slot `n`.
    static std::string slotName(int n);

    /// Forgets the cached identifier, as a new process would; for tests.
    static void resetCacheForTesting();
};

/// The device identifier source that follows the shared-slot protocol.
class OpenUDIDSource : public DeviceIdSource {
public:
    std::optional<std::string> deviceIdentifier() override { return vkOpenUDID::value(); }
};

}  // namespace vorn
