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
    /// A time stamp.
    using Date = std::chrono::system_clock::time_point;
    /// A file reference.
    using FileRef = std::shared_ptr<VornFile>;
    /// A data object reference.
    using ObjectRef = std::shared_ptr<VornObject>;
    /// What the value holds.
    using Kind = std::variant<nlohmann::json, Date, VornGeoPoint, FileRef, ObjectRef>;

    /// JSON null.
    VornValue() = default;
    /// A JSON value.
    VornValue(nlohmann::json value) : kind_(std::move(value)) {}
    /// A date.
    VornValue(Date date) : kind_(date) {}
    /// A geo point.
    VornValue(VornGeoPoint point) : kind_(point) {}
    /// A file.
    VornValue(FileRef file) : kind_(std::move(file)) {}
    /// A data object of any kind.
    template <std::derived_from<VornObject> T>
    VornValue(std::shared_ptr<T> object) : kind_(ObjectRef(std::move(object))) {}
    /// Strings, numbers, booleans, null, arrays and maps: anything that is JSON.
    template <typename T>
    requires(std::is_constructible_v<nlohmann::json, T&&> && !std::is_same_v<std::remove_cvref_t<T>, VornValue> &&
             !std::is_same_v<std::remove_cvref_t<T>, nlohmann::json>)
        // NOLINTNEXTLINE(bugprone-forwarding-reference-overload): constrained above, never a VornValue
        VornValue(T&& value)
        : kind_(nlohmann::json(std::forward<T>(value))) {}

    /// What the value holds.
    const Kind& kind() const { return kind_; }
    /// Whether it holds a JSON value.
    bool isJson() const { return std::holds_alternative<nlohmann::json>(kind_); }
    /// Whether it holds a date.
    bool isDate() const { return std::holds_alternative<Date>(kind_); }
    /// Whether it holds a geo point.
    bool isGeoPoint() const { return std::holds_alternative<VornGeoPoint>(kind_); }
    /// Whether it holds a file.
    bool isFile() const { return std::holds_alternative<FileRef>(kind_); }
    /// Whether it holds a data object.
    bool isObject() const { return std::holds_alternative<ObjectRef>(kind_); }

    /// The JSON value; JSON null for the other kinds.
    const nlohmann::json& json() const;
    /// The date; empty for the other kinds.
    std::optional<Date> date() const;
    /// The geo point; empty for the other kinds.
    std::optional<VornGeoPoint> geoPoint() const;
    /// The file; empty for the other kinds.
    FileRef file() const;
    /// The data object; empty for the other kinds.
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
