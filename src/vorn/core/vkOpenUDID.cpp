#include "vorn/core/vkOpenUDID.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/JsonAccess.h"
#include "vorn/core/SecureRandom.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/v_VornUtils.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string_view>

namespace vorn {
namespace {

constexpr const char* kRecordKey = storekeys::kOpenUDID;  // both the store key and the record's identifier entry
constexpr const char* kAppUIDKey = storekeys::kOpenUDIDAppUID;
constexpr const char* kCreatedKey = "OpenUDID_createdTS";
constexpr const char* kSlotKey = "OpenUDID_slot";
constexpr const char* kOptOutKey = "OpenUDID_optOutTS";

std::mutex cacheMutex;
std::optional<std::string> cachedValue;

/// The form this library writes: 40 lower-case hexadecimal digits.
bool isWellFormedIdentifier(const std::string& text) {
    return text.size() == 40 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

/// The identifier under the record key, when it has the library's form.
std::optional<std::string> identifierEntry(const nlohmann::json& dict);

std::optional<std::string> stringEntry(const nlohmann::json& dict, const char* key) {
    if (!dict.is_object()) return std::nullopt;
    auto it = dict.find(key);
    if (it == dict.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<std::string> identifierEntry(const nlohmann::json& dict) {
    auto identifier = stringEntry(dict, kRecordKey);
    if (identifier && !isWellFormedIdentifier(*identifier)) return std::nullopt;
    return identifier;
}

bool hasEntry(const nlohmann::json& dict, const char* key) {
    return dict.is_object() && dict.contains(key) && !dict.at(key).is_null();
}

std::string dateText(const nlohmann::json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

void setStatus(std::optional<VornError>* status, int code, std::string_view message) {
    if (status == nullptr) return;
    *status = VornError{vkOpenUDID::kOpenUDIDDomain, code, {{"description", std::string(message)}}};
}

}  // namespace

std::string vkOpenUDID::slotName(int n) {
    return std::string(kOpenUDIDDomain) + ".slot." + std::to_string(n);
}

std::string vkOpenUDID::_generateFreshOpenUDID() {
    std::uint32_t random = 0;
    secureRandomBytes(reinterpret_cast<std::uint8_t*>(&random), sizeof(random));
    char suffix[9];
    std::snprintf(suffix, sizeof(suffix), "%08lx", static_cast<unsigned long>(random));
    return v_VornUtils::md5WithString(v_VornUtils::uuid()) + suffix;
}

nlohmann::json vkOpenUDID::_getDictFromPasteboard(const std::string& pasteboard) {
    auto contents = DeviceContext::shared().slotStore()->read(pasteboard);
    if (!contents) return nlohmann::json::object();
    auto dict = jsonutil::parse(*contents);
    return dict.is_object() ? dict : nlohmann::json::object();
}

void vkOpenUDID::_setDict(const nlohmann::json& dict, const std::string& pasteboard) {
    DeviceContext::shared().slotStore()->write(pasteboard, dict.dump());
}

std::string vkOpenUDID::value() {
    return valueWithError(nullptr);
}

std::string vkOpenUDID::valueWithError(std::optional<VornError>* status) {
    // The first computation is serialised; later calls are answered from the cache.
    std::lock_guard lock(cacheMutex);
    if (cachedValue) {
        setStatus(status, kOpenUDIDErrorNone, "OpenUDID in cache from first call");
        return *cachedValue;
    }

    auto store = DeviceContext::shared().store();
    auto slots = DeviceContext::shared().slotStore();
    const std::string appUID = store->stringForKey(kAppUIDKey).value_or(v_VornUtils::uuid());

    std::optional<nlohmann::json> localDict;
    if (auto stored = store->objectForKey(kRecordKey); stored && stored->is_object()) localDict = *stored;
    std::optional<std::string> openUDID = localDict ? identifierEntry(*localDict) : std::nullopt;
    const bool recordDamaged = localDict && hasEntry(*localDict, kRecordKey) && !openUDID;
    std::optional<std::string> ownSlot = localDict ? stringEntry(*localDict, kSlotKey) : std::nullopt;
    nlohmann::json optedOutDate = localDict && hasEntry(*localDict, kOptOutKey) ? localDict->at(kOptOutKey) : nullptr;
    bool optedOut = !optedOutDate.is_null();

    std::optional<std::string> availableSlot;
    std::map<std::string, int> frequency;
    for (int n = 0; n < kOpenUDIDSlotCount; ++n) {
        const auto name = slotName(n);
        if (!slots->exists(name)) {
            if (!availableSlot) availableSlot = name;
            continue;
        }
        const auto dict = _getDictFromPasteboard(name);
        if (auto identifier = identifierEntry(dict)) {
            ++frequency[*identifier];
        } else if (!availableSlot) {
            availableSlot = name;
        }
        if (stringEntry(dict, kAppUIDKey) == appUID) {
            ownSlot = name;
            if (optedOut) {
                optedOutDate = hasEntry(dict, kOptOutKey) ? dict.at(kOptOutKey) : nlohmann::json();
                optedOut = !optedOutDate.is_null();
            }
        }
    }

    // The identifier most slots hold; among equal counts the greatest text, so the choice is stable.
    std::optional<std::string> mostReliable;
    int bestCount = 0;
    for (const auto& [identifier, count] : frequency) {
        if (count >= bestCount) {
            bestCount = count;
            mostReliable = identifier;
        }
    }

    bool saveLocalDict = false;
    int code = kOpenUDIDErrorNone;
    if (!openUDID) {
        openUDID = mostReliable ? *mostReliable : _generateFreshOpenUDID();
        if (!localDict) {
            localDict = nlohmann::json::object();
            (*localDict)[kRecordKey] = *openUDID;
            (*localDict)[kAppUIDKey] = appUID;
            (*localDict)[kCreatedKey] = v_VornUtils::stringOfDate(std::chrono::system_clock::now());
            saveLocalDict = true;
        } else if (recordDamaged) {
            (*localDict)[kRecordKey] = *openUDID;
            saveLocalDict = true;
        }
    } else if (mostReliable && *mostReliable != *openUDID) {
        code = kOpenUDIDErrorCompromised;
    }

    if (availableSlot && (!ownSlot || *ownSlot == *availableSlot)) {
        slots->create(*availableSlot);
        if (localDict) {
            (*localDict)[kSlotKey] = *availableSlot;
            saveLocalDict = true;
            _setDict(*localDict, *availableSlot);
        }
    }
    if (localDict && saveLocalDict) store->setObject(*localDict, kRecordKey);

    if (optedOut) {
        setStatus(
            status, kOpenUDIDErrorOptedOut,
            "Application with unique id " + appUID + " is opted-out from OpenUDID as of " + dateText(optedOutDate));
        cachedValue = std::string(40, '0');
    } else {
        if (code == kOpenUDIDErrorCompromised) {
            setStatus(status, code,
                      "Found a discrepancy between stored OpenUDID (reliable) and redundant copies; one of the apps "
                      "on the device is most likely corrupting the OpenUDID protocol");
        } else {
            setStatus(status, code, "OpenUDID succesfully retrieved");
        }
        cachedValue = *openUDID;
    }
    return *cachedValue;
}

void vkOpenUDID::setOptOut(bool optOutValue) {
    value();
    auto store = DeviceContext::shared().store();
    nlohmann::json dict = nlohmann::json::object();
    if (auto stored = store->objectForKey(kRecordKey); stored && stored->is_object()) dict = *stored;
    if (optOutValue) {
        dict[kOptOutKey] = v_VornUtils::stringOfDate(std::chrono::system_clock::now());
    } else {
        dict.erase(kOptOutKey);
    }
    store->setObject(dict, kRecordKey);
    std::lock_guard lock(cacheMutex);
    cachedValue.reset();
}

void vkOpenUDID::resetCacheForTesting() {
    std::lock_guard lock(cacheMutex);
    cachedValue.reset();
}

}  // namespace vorn
