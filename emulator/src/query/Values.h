#pragma once

// Field values as queries see them: a stored or requested JSON value sorted
// into a kind (dates by instant, pointers by identity, numbers as numbers),
// and the comparisons that constraints and ordering share.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "vorn_emulator/ObjectStore.h"

namespace vorn::emulator::query {

// In the order used to sort values of mixed kinds (ascending).
enum class Kind { Missing, Null, Bool, Number, String, Date, Pointer, GeoPoint, Array, Map };

// A classified value. It views into the JSON (or string) it was made from,
// which must outlive it.
struct Term {
    Kind kind = Kind::Missing;
    const nlohmann::json* json = nullptr;  // the JSON value; null for Missing and the built-in fields
    bool boolean = false;                  // Bool
    long double number = 0;                // Number: exact for every 64-bit integer and every double
    std::string_view text;                 // String; the objectId of a Pointer
    std::string_view className;            // Pointer
    std::int64_t millis = 0;               // Date: epoch milliseconds
    double latitude = 0;                   // GeoPoint
    double longitude = 0;
};

// Classifies a JSON value:
//  - {"__type": "Date", "iso": text that parses} is a Date;
//  - {"__type": "Pointer" or "Object", "className": text, "objectId": text} a Pointer;
//  - {"__type": "GeoPoint", "latitude": number, "longitude": number} a GeoPoint;
//  - other maps are Maps, whatever their "__type".
Term termOf(const nlohmann::json& value);
Term stringTerm(std::string_view text);
Term dateTerm(std::int64_t millis);

// Equal values: same kind and equal content, numbers numerically (1 == 1.0),
// dates by instant, pointers by class and objectId; arrays element by element
// and maps entry by entry with these same rules. Missing equals nothing.
bool termsEqual(const Term& a, const Term& b);

// For "$gt" and the like: the order of two numbers, two strings (byte order)
// or two dates as -1, 0 or 1; nullopt for any other pairing.
std::optional<int> compareTerms(const Term& a, const Term& b);

// A total order for sorting: by kind first (see Kind), then numbers, strings,
// dates, pointers (class, then objectId), geo points (latitude, then
// longitude) and booleans by value; arrays and maps of the same kind are
// equal.
int compareForSort(const Term& a, const Term& b);

// Which value of an object a constraint or an order key reads: a field, or
// one of the built-in "objectId" (also spelled "_id"), "createdAt",
// "updatedAt".
struct FieldRef {
    enum class Source { Field, ObjectId, CreatedAt, UpdatedAt };
    Source source = Source::Field;
    std::string name;  // as given
};

FieldRef fieldRef(std::string_view key);

// The value constraints compare: createdAt and updatedAt as Dates of whole
// seconds, like their text and like the Dates a request can name.
Term constraintTerm(const FieldRef& field, const StoredObject& object);
// The value an order key sorts by: createdAt and updatedAt to the millisecond.
Term sortTerm(const FieldRef& field, const StoredObject& object);

}  // namespace vorn::emulator::query
