#include "vorn/data/VornValue.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornObjectRegistry.h"
#include "vorn/files/VornFile.h"

#include <cctype>
#include <charconv>

namespace vorn {
namespace {

const nlohmann::json kNull;

std::string text(const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_null()) return "";
    return value.dump();
}

std::optional<std::string> optionalText(const nlohmann::json& map, const char* key) {
    auto it = map.find(key);
    if (it == map.end() || it->is_null()) return std::nullopt;
    return text(*it);
}

double number(const nlohmann::json& map, const char* key) {
    auto it = map.find(key);
    if (it == map.end()) return 0;
    if (it->is_number()) return it->get<double>();
    if (it->is_string()) {
        // The leading number of the text, read with a point whatever the locale.
        const auto& text = it->get_ref<const std::string&>();
        const char* begin = text.data();
        const char* end = begin + text.size();
        while (begin != end && std::isspace(static_cast<unsigned char>(*begin))) ++begin;
        if (begin != end && *begin == '+') ++begin;
        double value = 0;
        const auto result = std::from_chars(begin, end, value);
        return result.ec == std::errc() ? value : 0;
    }
    return 0;
}

void removeAll(std::string& text, const std::string& part) {
    if (part.empty()) return;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at)) text.erase(at, part.size());
}

nlohmann::json fileWireForm(const VornFile& file) {
    nlohmann::json form{{"__type", "File"}};
    form["group"] = file.group().value_or("");
    if (!file.url()) return form;
    std::string url = *file.url();
    removeAll(url, v_VornUtils::storedFileDownloadAddress() + "/");
    form["url"] = url;
    if (!file.name()) return form;
    form["filename"] = *file.name();
    return form;
}

VornValue fileFromWire(const nlohmann::json& wire) {
    std::optional<std::string> url = optionalText(wire, "url");
    if (url && url->find("http://") == std::string::npos && url->find("https://") == std::string::npos) {
        url = v_VornUtils::storedFileDownloadAddress() + "/" + *url;
    }
    return VornValue(VornFile::fileWithUrl(url, optionalText(wire, "filename"), optionalText(wire, "group")));
}

VornValue objectFromWire(const nlohmann::json& wire) {
    // A form without a class name makes an object without one.
    const auto className = optionalText(wire, "className");
    auto object = className ? VornObjectRegistry::shared().makeObject(*className) : VornObject::make(std::nullopt);
    object->setObjectId(optionalText(wire, "objectId"));
    if (auto updated = optionalText(wire, "updatedAt")) object->setUpdatedAt(v_VornUtils::dateOfString(*updated));
    if (auto created = optionalText(wire, "createdAt")) object->setCreatedAt(v_VornUtils::dateOfString(*created));
    object->getDictionaryAfterQuery(wire);
    return VornValue(object);
}

}  // namespace

const nlohmann::json& VornValue::json() const {
    const auto* value = std::get_if<nlohmann::json>(&kind_);
    return value != nullptr ? *value : kNull;
}

std::optional<VornValue::Date> VornValue::date() const {
    if (const auto* value = std::get_if<Date>(&kind_)) return *value;
    return std::nullopt;
}

std::optional<VornGeoPoint> VornValue::geoPoint() const {
    if (const auto* value = std::get_if<VornGeoPoint>(&kind_)) return *value;
    return std::nullopt;
}

VornValue::FileRef VornValue::file() const {
    if (const auto* value = std::get_if<FileRef>(&kind_)) return *value;
    return nullptr;
}

VornValue::ObjectRef VornValue::object() const {
    if (const auto* value = std::get_if<ObjectRef>(&kind_)) return *value;
    return nullptr;
}

bool VornValue::isAbsent() const {
    if (isFile()) return file() == nullptr;
    if (isObject()) return object() == nullptr;
    return false;
}

nlohmann::json VornValue::wireForm() const {
    struct Encoder {
        nlohmann::json operator()(const nlohmann::json& value) const { return value; }
        nlohmann::json operator()(const Date& date) const {
            return nlohmann::json{{"__type", "Date"}, {"iso", v_VornUtils::stringOfDate(date)}};
        }
        nlohmann::json operator()(const VornGeoPoint& point) const { return point.wireForm(); }
        nlohmann::json operator()(const FileRef& file) const { return file ? fileWireForm(*file) : nlohmann::json(); }
        nlohmann::json operator()(const ObjectRef& object) const {
            return object ? object->pointerForm() : nlohmann::json();
        }
    };
    return std::visit(Encoder{}, kind_);
}

std::optional<VornValue> VornValue::fromWire(const nlohmann::json& wire) {
    if (!wire.is_object()) return VornValue(wire);
    auto type = wire.find("__type");
    if (type == wire.end()) return VornValue(wire);
    const std::string kind = text(*type);
    if (kind == "GeoPoint") {
        VornGeoPoint point;
        point.setLatitude(number(wire, "latitude"));
        point.setLongitude(number(wire, "longitude"));
        return VornValue(point);
    }
    if (kind == "File") return fileFromWire(wire);
    if (kind == "Date") {
        auto iso = wire.find("iso");
        auto date = v_VornUtils::dateOfString(iso == wire.end() ? "" : text(*iso));
        // A date text that does not parse is no value.
        if (!date) return std::nullopt;
        return VornValue(*date);
    }
    if (kind == "Pointer") {
        auto reference = VornObject::make(optionalText(wire, "className"));
        reference->setObjectId(optionalText(wire, "objectId"));
        return VornValue(reference);
    }
    if (kind == "Object") return objectFromWire(wire);
    return VornValue(wire);
}

}  // namespace vorn
