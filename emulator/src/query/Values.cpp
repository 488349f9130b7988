#include "query/Values.h"

#include "objects/FieldValues.h"
#include "vorn_emulator/DateText.h"

namespace vorn::emulator::query {

namespace {

using nlohmann::json;

template <class T>
int threeWay(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

int compareText(std::string_view a, std::string_view b) {
    const int order = a.compare(b);  // char_traits<char>: byte order
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

const std::string* stringMember(const json& map, std::string_view key) {
    auto it = map.find(key);
    if (it == map.end() || !it->is_string()) return nullptr;
    return &it->get_ref<const std::string&>();
}

const json* numberMember(const json& map, std::string_view key) {
    auto it = map.find(key);
    if (it == map.end() || !it->is_number()) return nullptr;
    return &*it;
}

// Typed maps: a Date, Pointer or GeoPoint when complete, else a plain Map.
Term mapTerm(const json& value) {
    Term term;
    term.json = &value;
    term.kind = Kind::Map;
    const std::string_view type = objects::typeOf(value);
    if (type == "Date") {
        if (const std::string* iso = stringMember(value, "iso")) {
            if (auto millis = parseDateTextMillis(*iso)) {
                term.kind = Kind::Date;
                term.millis = *millis;
            }
        }
    } else if (type == "Pointer" || type == "Object") {
        const std::string* className = stringMember(value, "className");
        const std::string* objectId = stringMember(value, "objectId");
        if (className != nullptr && objectId != nullptr) {
            term.kind = Kind::Pointer;
            term.className = *className;
            term.text = *objectId;
        }
    } else if (type == "GeoPoint") {
        const json* latitude = numberMember(value, "latitude");
        const json* longitude = numberMember(value, "longitude");
        if (latitude != nullptr && longitude != nullptr) {
            term.kind = Kind::GeoPoint;
            term.latitude = latitude->get<double>();
            term.longitude = longitude->get<double>();
        }
    }
    return term;
}

bool arraysEqual(const json& a, const json& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!termsEqual(termOf(a[i]), termOf(b[i]))) return false;
    }
    return true;
}

bool mapsEqual(const json& a, const json& b) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
        auto other = b.find(it.key());
        if (other == b.end() || !termsEqual(termOf(*it), termOf(*other))) return false;
    }
    return true;
}

}  // namespace

Term termOf(const json& value) {
    Term term;
    term.json = &value;
    switch (value.type()) {
        case json::value_t::null:
            term.kind = Kind::Null;
            break;
        case json::value_t::boolean:
            term.kind = Kind::Bool;
            term.boolean = value.get<bool>();
            break;
        case json::value_t::number_integer:
            term.kind = Kind::Number;
            term.number = static_cast<long double>(value.get<std::int64_t>());
            break;
        case json::value_t::number_unsigned:
            term.kind = Kind::Number;
            term.number = static_cast<long double>(value.get<std::uint64_t>());
            break;
        case json::value_t::number_float:
            term.kind = Kind::Number;
            term.number = static_cast<long double>(value.get<double>());
            break;
        case json::value_t::string:
            term.kind = Kind::String;
            term.text = value.get_ref<const std::string&>();
            break;
        case json::value_t::array:
            term.kind = Kind::Array;
            break;
        case json::value_t::object:
            return mapTerm(value);
        default:  // binary and discarded values never come from JSON text
            term.kind = Kind::Map;
            break;
    }
    return term;
}

Term stringTerm(std::string_view text) {
    Term term;
    term.kind = Kind::String;
    term.text = text;
    return term;
}

Term dateTerm(std::int64_t millis) {
    Term term;
    term.kind = Kind::Date;
    term.millis = millis;
    return term;
}

bool termsEqual(const Term& a, const Term& b) {
    if (a.kind != b.kind || a.kind == Kind::Missing) return false;
    switch (a.kind) {
        case Kind::Null:
            return true;
        case Kind::Bool:
            return a.boolean == b.boolean;
        case Kind::Number:
            return a.number == b.number;
        case Kind::String:
            return a.text == b.text;
        case Kind::Date:
            return a.millis == b.millis;
        case Kind::Pointer:
            return a.className == b.className && a.text == b.text;
        case Kind::GeoPoint:
            return a.latitude == b.latitude && a.longitude == b.longitude;
        case Kind::Array:
            return arraysEqual(*a.json, *b.json);
        case Kind::Map:
            return mapsEqual(*a.json, *b.json);
        case Kind::Missing:
            break;
    }
    return false;
}

std::optional<int> compareTerms(const Term& a, const Term& b) {
    if (a.kind != b.kind) return std::nullopt;
    switch (a.kind) {
        case Kind::Number:
            return threeWay(a.number, b.number);
        case Kind::String:
            return compareText(a.text, b.text);
        case Kind::Date:
            return threeWay(a.millis, b.millis);
        default:
            return std::nullopt;
    }
}

FieldRef fieldRef(std::string_view key) {
    FieldRef field;
    field.name = std::string(key);
    if (key == "objectId" || key == "_id") {
        field.source = FieldRef::Source::ObjectId;
    } else if (key == "createdAt") {
        field.source = FieldRef::Source::CreatedAt;
    } else if (key == "updatedAt") {
        field.source = FieldRef::Source::UpdatedAt;
    }
    return field;
}

namespace {

std::int64_t wholeSeconds(std::int64_t millis) {
    std::int64_t seconds = millis / 1000;
    if (millis % 1000 < 0) --seconds;  // floor, also before 1970
    return seconds * 1000;
}

Term readField(const FieldRef& field, const StoredObject& object, bool wholeSecondDates) {
    switch (field.source) {
        case FieldRef::Source::ObjectId:
            return stringTerm(object.objectId);
        case FieldRef::Source::CreatedAt:
            return dateTerm(wholeSecondDates ? wholeSeconds(object.createdMs) : object.createdMs);
        case FieldRef::Source::UpdatedAt:
            return dateTerm(wholeSecondDates ? wholeSeconds(object.updatedMs) : object.updatedMs);
        case FieldRef::Source::Field:
            break;
    }
    auto it = object.fields.find(field.name);
    return it == object.fields.end() ? Term{} : termOf(*it);
}

}  // namespace

Term constraintTerm(const FieldRef& field, const StoredObject& object) {
    return readField(field, object, true);
}

Term sortTerm(const FieldRef& field, const StoredObject& object) {
    return readField(field, object, false);
}

int compareForSort(const Term& a, const Term& b) {
    if (a.kind != b.kind) return threeWay(static_cast<int>(a.kind), static_cast<int>(b.kind));
    switch (a.kind) {
        case Kind::Bool:
            return threeWay(a.boolean, b.boolean);
        case Kind::Number:
            return threeWay(a.number, b.number);
        case Kind::String:
            return compareText(a.text, b.text);
        case Kind::Date:
            return threeWay(a.millis, b.millis);
        case Kind::Pointer:
            if (int order = compareText(a.className, b.className)) return order;
            return compareText(a.text, b.text);
        case Kind::GeoPoint:
            if (int order = threeWay(a.latitude, b.latitude)) return order;
            return threeWay(a.longitude, b.longitude);
        default:
            return 0;
    }
}

}  // namespace vorn::emulator::query
