#pragma once
// Apple XML property lists: a value type, the writer and a reader.
//
// The writer produces exactly what a Mac's property-list serializer writes in XML
// format: the XML declaration and the PLIST 1.0 DOCTYPE, <plist version="1.0">, one
// element per line indented with tabs, dictionary keys in sorted order, empty arrays
// and dictionaries as <array/> and <dict/>, and "&", "<" and ">" escaped in text.
//
// The reader accepts that form and the usual hand-edited variations (any white space
// between elements, comments, no declaration or DOCTYPE, the five XML entities and
// character references). <data> and <date> elements are refused.

#include "host/error.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessaron::plist {

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;

class Value {
public:
    using Storage = std::variant<std::string, std::int64_t, double, bool, Array, Dictionary>;

    Value() : storage_(Dictionary{}) {}
    Value(std::string text) : storage_(std::move(text)) {}
    Value(const char* text) : storage_(std::string(text)) {}
    Value(bool flag) : storage_(flag) {}
    Value(int number) : storage_(static_cast<std::int64_t>(number)) {}
    Value(std::int64_t number) : storage_(number) {}
    Value(double number) : storage_(number) {}
    Value(Array items) : storage_(std::move(items)) {}
    Value(Dictionary entries) : storage_(std::move(entries)) {}

    bool isString() const { return std::holds_alternative<std::string>(storage_); }
    bool isInteger() const { return std::holds_alternative<std::int64_t>(storage_); }
    bool isReal() const { return std::holds_alternative<double>(storage_); }
    bool isBoolean() const { return std::holds_alternative<bool>(storage_); }
    bool isArray() const { return std::holds_alternative<Array>(storage_); }
    bool isDictionary() const { return std::holds_alternative<Dictionary>(storage_); }

    // Typed access; nullptr when the value has another type.
    const std::string* string() const { return std::get_if<std::string>(&storage_); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&storage_); }
    const double* real() const { return std::get_if<double>(&storage_); }
    const bool* boolean() const { return std::get_if<bool>(&storage_); }
    const Array* array() const { return std::get_if<Array>(&storage_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage_); }

    const Storage& storage() const { return storage_; }

    // Deep equality: same type and equal contents (an integer never equals a boolean
    // or a real).
    bool operator==(const Value& other) const { return storage_ == other.storage_; }

private:
    Storage storage_;
};

// Equality as the platform's collections compare: numbers by value whatever their
// element (<integer>5 equals <real>5.0, <true/> equals <integer>1, <false/> equals
// <real>0), everything else as operator==, element by element.
bool equivalent(const Value& a, const Value& b);

class PropertyListError : public Error {
public:
    using Error::Error;
};

// The XML document for `root`. Throws PropertyListError for text that XML cannot
// carry (invalid UTF-8 or control characters other than tab, line feed and carriage
// return).
std::string serializeXML(const Value& root);

// Parses an XML property list. Throws PropertyListError naming what is wrong.
Value parse(std::string_view document);

}  // namespace tessaron::plist
