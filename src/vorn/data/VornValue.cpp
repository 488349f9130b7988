#include "vorn/data/VornValue.h"

#include "vorn/core/v_VornUtils.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornObjectRegistry.h"
#include "vorn/files/VornFile.h"

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
    if (it->is_string()) return std::atof(it->get<std::string>().c_str());
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
    removeAll(url, v_VornUtils::fileDownloadAddress() + "/");
    form["url"] = url;
    if (!file.name()) return form;
    form["filename"] = *file.name();
    return form;
}

VornValue fileFromWire(const nlohmann::json& wire) {
    std::optional<std::string> url = optionalText(wire, "url");
    if (url && url->find("http://") == std::string::npos && url->find("https://") == std::string::npos) {
        url = v_VornUtils::fileDownloadAddress() + "/" + *url;
    }
    return VornValue(VornFile::fileWithUrl(url, optionalText(wire, "filename"), optionalText(wire, "group")));
}

VornValue objectFromWire(const nlohmann::json& wire) {
    const auto className = optionalText(wire, "className").value_or("");
    auto object = VornObjectRegistry::shared().makeObject(className);
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

VornValue VornValue::fromWire(const nlohmann::json& wire) {
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
        // A date text that does not parse reads as JSON null.
        return date ? VornValue(*date) : VornValue();
    }
    if (kind == "Pointer") {
        auto reference = VornObject::initWithClassName(optionalText(wire, "className").value_or(""));
        reference->setObjectId(optionalText(wire, "objectId"));
        return VornValue(reference);
    }
    if (kind == "Object") return objectFromWire(wire);
    return VornValue(wire);
}

}  // namespace vorn
