#include "host/json.h"

#include <cmath>
#include <limits>

namespace tessaron::json {
namespace {

std::string quoted(std::string_view key) { return std::string(1, '"').append(key).append(1, '"'); }

[[noreturn]] void typeMismatch(std::string_view what, std::string_view expected) {
    throw DecodingError("The value of " + std::string(what) + " is not " + std::string(expected) + ".");
}

const Json* member(const Json& object, std::string_view key) {
    requireObject(object, "the document");
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

}  // namespace

Json parse(std::string_view text) {
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const Json::exception&) {  // parse errors, and numbers out of range ("1e999")
        throw DecodingError("The data couldn\u2019t be read because it isn\u2019t in the correct format.");
    }
}

Json parseObject(std::string_view text) {
    Json value = parse(text);
    requireObject(value, "the document");
    return value;
}

std::string encode(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

void requireObject(const Json& value, std::string_view what) {
    if (!value.is_object()) typeMismatch(what, "an object");
}

const Json& required(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value) throw DecodingError("The key " + quoted(key) + " is missing.");
    return *value;
}

std::string asString(const Json& value, std::string_view what) {
    if (!value.is_string()) typeMismatch(what, "a string");
    return value.get<std::string>();
}

std::int64_t asInt64(const Json& value, std::string_view what) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        auto u = value.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return static_cast<std::int64_t>(u);
    } else if (value.is_number_float()) {
        double d = value.get<double>();
        if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) return static_cast<std::int64_t>(d);
    }
    typeMismatch(what, "a whole number");
}

std::uint64_t asUInt64(const Json& value, std::string_view what) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(value.get<std::int64_t>());
    if (value.is_number_float()) {
        double d = value.get<double>();
        if (std::trunc(d) == d && d >= 0 && d < 18446744073709551616.0) return static_cast<std::uint64_t>(d);
    }
    typeMismatch(what, "a non-negative whole number");
}

double asNumber(const Json& value, std::string_view what) {
    if (!value.is_number()) typeMismatch(what, "a number");
    return value.get<double>();
}

std::string string(const Json& object, std::string_view key) { return asString(required(object, key), quoted(key)); }
std::optional<std::string> optionalString(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    return asString(*value, quoted(key));
}
std::int64_t int64(const Json& object, std::string_view key) { return asInt64(required(object, key), quoted(key)); }
std::optional<std::int64_t> optionalInt64(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    return asInt64(*value, quoted(key));
}
std::uint64_t uint64(const Json& object, std::string_view key) { return asUInt64(required(object, key), quoted(key)); }
std::optional<std::uint64_t> optionalUInt64(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    return asUInt64(*value, quoted(key));
}
double number(const Json& object, std::string_view key) { return asNumber(required(object, key), quoted(key)); }
std::optional<double> optionalNumber(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    return asNumber(*value, quoted(key));
}
bool boolean(const Json& object, std::string_view key) {
    const Json& value = required(object, key);
    if (!value.is_boolean()) typeMismatch(quoted(key), "true or false");
    return value.get<bool>();
}
std::optional<bool> optionalBoolean(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) typeMismatch(quoted(key), "true or false");
    return value->get<bool>();
}
std::vector<std::string> stringArray(const Json& object, std::string_view key) {
    const Json& value = array(object, key);
    std::vector<std::string> result;
    result.reserve(value.size());
    for (const Json& element : value) result.push_back(asString(element, "an element of " + quoted(key)));
    return result;
}
const Json& object(const Json& object, std::string_view key) {
    const Json& value = required(object, key);
    if (!value.is_object()) typeMismatch(quoted(key), "an object");
    return value;
}
const Json& array(const Json& object, std::string_view key) {
    const Json& value = required(object, key);
    if (!value.is_array()) typeMismatch(quoted(key), "an array");
    return value;
}

}  // namespace tessaron::json
