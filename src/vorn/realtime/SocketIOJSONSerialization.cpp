#include "vorn/realtime/SocketIOJSONSerialization.h"

#include "vorn/core/JsonAccess.h"

#include <cmath>

namespace vorn {
namespace {

VornError jsonError(std::string text) {
    return VornError{kVornErrorDomain, kVornErrorWrongType, {{"error", std::move(text)}}};
}

bool hasNonFiniteNumber(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::number_float:
            return !std::isfinite(value.get<double>());
        case nlohmann::json::value_t::array:
        case nlohmann::json::value_t::object:
            for (const auto& item : value) {
                if (hasNonFiniteNumber(item)) return true;
            }
            return false;
        default:
            return false;
    }
}

}  // namespace

std::optional<nlohmann::json> SocketIOJSONSerialization::objectFromJSONData(std::string_view data,
                                                                            OptionalError* error) {
    auto parsed = jsonutil::parse(data);
    if (parsed.is_discarded()) {
        if (error != nullptr) *error = jsonError("the data is not JSON");
        return std::nullopt;
    }
    if (!parsed.is_object() && !parsed.is_array()) {
        if (error != nullptr) *error = jsonError("the top level of the JSON is neither an object nor an array");
        return std::nullopt;
    }
    return parsed;
}

std::optional<std::string> SocketIOJSONSerialization::JSONStringFromObject(const nlohmann::json& value,
                                                                           OptionalError* error) {
    if (!value.is_object() && !value.is_array()) {
        if (error != nullptr) *error = jsonError("only an object or an array is written as JSON");
        return std::nullopt;
    }
    if (hasNonFiniteNumber(value)) {
        if (error != nullptr) *error = jsonError("a number that is not finite has no JSON form");
        return std::nullopt;
    }
    try {
        return value.dump();
    } catch (const nlohmann::json::exception&) {
        if (error != nullptr) *error = jsonError("a string is not UTF-8");
        return std::nullopt;
    }
}

}  // namespace vorn
