#pragma once

#include "vorn/data/VornGeoPoint.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <concepts>
#include <memory>
#include <type_traits>
#include <variant>

namespace vorn {

class VornObject;
class VornFile;

/// A field value of a data object: a JSON value, a date, a geo point, a
/// file or another data object. Every kind has a JSON wire form, so any
/// value that can be built can be sent.
class VornValue {
public:
    using Date = std::chrono::system_clock::time_point;
    using FileRef = std::shared_ptr<VornFile>;
    using ObjectRef = std::shared_ptr<VornObject>;
    using Kind = std::variant<nlohmann::json, Date, VornGeoPoint, FileRef, ObjectRef>;

    /// JSON null.
    VornValue() = default;
    VornValue(nlohmann::json value) : kind_(std::move(value)) {}
    VornValue(Date date) : kind_(date) {}
    VornValue(VornGeoPoint point) : kind_(point) {}
    VornValue(FileRef file) : kind_(std::move(file)) {}
    template <std::derived_from<VornObject> T>
    VornValue(std::shared_ptr<T> object) : kind_(ObjectRef(std::move(object))) {}
    /// Strings, numbers, booleans, null, arrays and maps: anything that is JSON.
    template <typename T>
    requires(std::is_constructible_v<nlohmann::json, T&&> && !std::is_same_v<std::remove_cvref_t<T>, VornValue> &&
             !std::is_same_v<std::remove_cvref_t<T>, nlohmann::json>)
        // NOLINTNEXTLINE(bugprone-forwarding-reference-overload): constrained above, never a VornValue
        VornValue(T&& value)
        : kind_(nlohmann::json(std::forward<T>(value))) {}

    const Kind& kind() const { return kind_; }
    bool isJson() const { return std::holds_alternative<nlohmann::json>(kind_); }
    bool isDate() const { return std::holds_alternative<Date>(kind_); }
    bool isGeoPoint() const { return std::holds_alternative<VornGeoPoint>(kind_); }
    bool isFile() const { return std::holds_alternative<FileRef>(kind_); }
    bool isObject() const { return std::holds_alternative<ObjectRef>(kind_); }

    /// The JSON value; JSON null for the other kinds.
    const nlohmann::json& json() const;
    std::optional<Date> date() const;
    std::optional<VornGeoPoint> geoPoint() const;
    FileRef file() const;
    ObjectRef object() const;
    /// The object as a particular kind (`VornUser`...), or empty.
    template <std::derived_from<VornObject> T>
    std::shared_ptr<T> objectAs() const {
        return std::dynamic_pointer_cast<T>(object());
    }

    /// A file or object reference that holds nothing: such a value is not stored.
    bool isAbsent() const;

    /// The value's wire form: JSON unchanged, the others as their typed maps.
    nlohmann::json wireForm() const;
    /// The application value of a wire form: typed maps become dates, geo
    /// points, files and objects; anything else stays JSON. A Date form
    /// whose text does not parse is no value at all.
    static std::optional<VornValue> fromWire(const nlohmann::json& wire);

private:
    Kind kind_;
};

/// A map of field names to values, as the application passes them.
using VornValueMap = std::map<std::string, VornValue>;

}  // namespace vorn
