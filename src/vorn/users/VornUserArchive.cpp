#include "vorn/users/VornUserArchive.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/FileUtils.h"
#include "vorn/core/JsonAccess.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/v_VornUtils.h"

#include <algorithm>
#include <mutex>

namespace vorn {
namespace {

std::recursive_mutex archiveMutex;

const nlohmann::json* archiveMember(const nlohmann::json& map, const char* key) {
    if (!map.is_object()) return nullptr;
    auto it = map.find(key);
    return it == map.end() ? nullptr : &*it;
}

std::int64_t asInteger(const nlohmann::json& number) {
    if (number.is_number_integer()) return number.get<std::int64_t>();
    if (number.is_number_unsigned()) return static_cast<std::int64_t>(number.get<std::uint64_t>());
    const double value = number.get<double>();
    if (!(value > -9.2e18 && value < 9.2e18)) return 0;
    return static_cast<std::int64_t>(value);
}

/// The value an operator leaves under a key, given the archived value; empty
/// when it cannot be worked out here (the operator map itself is kept).
std::optional<nlohmann::json> resolve(const nlohmann::json& op, const nlohmann::json* archived) {
    const auto* name = archiveMember(op, "__op");
    if (name == nullptr || !name->is_string() || archived == nullptr) return std::nullopt;
    const auto& kind = name->get_ref<const std::string&>();
    if (kind == "Increment") {
        const auto* amount = archiveMember(op, "amount");
        if (!archived->is_number() || amount == nullptr || !amount->is_number()) return std::nullopt;
        // Wrapping 64-bit addition, as integers add.
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(asInteger(*archived)) +
                                         static_cast<std::uint64_t>(asInteger(*amount)));
    }
    const auto* objects = archiveMember(op, "objects");
    if (!archived->is_array() || objects == nullptr || !objects->is_array()) return std::nullopt;
    nlohmann::json result = *archived;
    if (kind == "Add") {
        for (const auto& element : *objects) result.push_back(element);
    } else if (kind == "AddUnique") {
        for (const auto& element : *objects) {
            if (std::find(result.begin(), result.end(), element) == result.end()) result.push_back(element);
        }
    } else if (kind == "Remove") {
        for (const auto& element : *objects)
            result.erase(std::remove(result.begin(), result.end(), element), result.end());
    } else {
        return std::nullopt;
    }
    return result;
}

}  // namespace

std::unique_lock<std::recursive_mutex> VornUserArchive::transaction() {
    return std::unique_lock<std::recursive_mutex>(archiveMutex);
}

std::filesystem::path VornUserArchive::path() {
    return DeviceContext::shared().documentsDirectory() / "current.archive";
}

std::optional<VornUserArchive::Content> VornUserArchive::read() {
    std::lock_guard lock(archiveMutex);
    auto text = fileutils::readFile(path());
    if (!text) return std::nullopt;
    auto stored = jsonutil::parse(*text);
    if (stored.is_object()) return Content{std::move(stored), false};
    if (!stored.is_string()) return std::nullopt;
    auto decoded = v_VornUtils::decodeBase64String(stored.get<std::string>());
    if (!decoded) return std::nullopt;
    auto wrapped = jsonutil::parse(*decoded);
    // Text that is not {"r": {"data": {...}}} holds no user.
    const auto* r = archiveMember(wrapped, "r");
    const auto* data = r ? archiveMember(*r, "data") : nullptr;
    if (data == nullptr || !data->is_object()) return std::nullopt;
    return Content{*data, true};
}

std::optional<nlohmann::json> VornUserArchive::readFields() {
    auto content = read();
    if (!content) return std::nullopt;
    return std::move(content->fields);
}

bool VornUserArchive::write(const nlohmann::json& fields) {
    std::lock_guard lock(archiveMutex);
    const nlohmann::json* written = &fields;
    nlohmann::json withoutPassword;
    if (fields.is_object() && fields.contains("password")) {
        withoutPassword = fields;
        withoutPassword.erase("password");
        written = &withoutPassword;
    }
    return fileutils::writeFileAtomically(path(),
                                          written->dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

void VornUserArchive::remove() {
    std::lock_guard lock(archiveMutex);
    std::error_code ec;
    std::filesystem::remove(path(), ec);
}

void VornUserArchive::storeSessionToken(const nlohmann::json& token) {
    std::lock_guard lock(archiveMutex);
    auto store = DeviceContext::shared().store();
    if (token.is_string()) {
        store->setObject(token, storekeys::kSessionToken);
    } else if (!token.is_null()) {
        store->setObject(token.dump(), storekeys::kSessionToken);
    } else {
        // A reply without a token: the previous user's token must not stay.
        store->removeObjectForKey(storekeys::kSessionToken);
    }
}

void VornUserArchive::removeSessionToken() {
    std::lock_guard lock(archiveMutex);
    DeviceContext::shared().store()->removeObjectForKey(storekeys::kSessionToken);
}

void VornUserArchive::applyChanges(nlohmann::json& archived, nlohmann::json sent) {
    if (!archived.is_object()) archived = nlohmann::json::object();
    for (auto it = sent.begin(); it != sent.end();) {
        const auto* op = archiveMember(*it, "__op");
        if (op != nullptr && op->is_string() && op->get<std::string>() == "Delete") {
            archived.erase(it.key());
            it = sent.erase(it);
            continue;
        }
        if (op != nullptr) {
            if (auto value = resolve(*it, archiveMember(archived, it.key().c_str()))) *it = std::move(*value);
        }
        ++it;
    }
    for (auto& [key, value] : sent.items()) {
        if (key == "authData" && value.is_object()) {
            auto& merged = archived["authData"];
            if (!merged.is_object()) merged = nlohmann::json::object();
            for (auto& [platform, entry] : value.items()) merged[platform] = entry;
        } else {
            archived[key] = value;
        }
    }
}

}  // namespace vorn
