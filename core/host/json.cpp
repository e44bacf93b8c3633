#include "host/json.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessaron::json {
namespace {

std::string quoted(std::string_view key) { return std::string(1, '"').append(key).append(1, '"'); }

[[noreturn]] void notInTheCorrectFormat() {
    throw DecodingError("The data couldn\u2019t be read because it isn\u2019t in the correct format.");
}

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
        notInTheCorrectFormat();
    }
}

Json parseObject(std::string_view text) {
    Json value = parse(text);
    requireObject(value, "the document");
    return value;
}

namespace {

// The reader behind parseKeptMembers(), fed by nlohmann's event parser, which itself keeps
// one bit per open array or object. `depth_` counts the open ones: 1 while the document's
// members are read, 2 inside a member's value.
class KeptMembersReader {
public:
    KeptMembersReader(std::span<const std::string_view> keep, KeptMemberLimits limits) : keep_(keep), limits_(limits) {}

    enum class Failure { none, syntax, notObject, nesting, members };
    Json result = Json::object();
    Failure failure = Failure::none;

    bool null() { return value(nullptr); }
    bool boolean(bool v) { return value(v); }
    bool number_integer(Json::number_integer_t v) { return value(v); }
    bool number_unsigned(Json::number_unsigned_t v) { return value(v); }
    bool number_float(Json::number_float_t v, const Json::string_t&) { return value(v); }
    bool string(Json::string_t& v) { return value(std::move(v)); }
    bool binary(Json::binary_t&) { return fail(Failure::syntax); }  // never in JSON text

    bool start_object(std::size_t) { return open(Json::object()); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(Json::string_t& key) {
        if (depth_ == 1) {
            keeping_ = std::find(keep_.begin(), keep_.end(), key) != keep_.end();
            if (keeping_) memberKey_ = std::move(key);
        } else if (depth_ == 2 && kept_ != nullptr) {
            innerKey_ = std::move(key);
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return fail(Failure::syntax);
    }

private:
    bool fail(Failure why) {
        failure = why;
        return false;
    }

    // Keeps a value read now where it belongs, if anywhere; false when that is one member too many.
    bool keep(Json v, bool isObject = false) {
        if (depth_ == 1 && keeping_) {
            Json& member = result[memberKey_];
            member = std::move(v);
            if (isObject) kept_ = &member;
        } else if (depth_ == 2 && kept_ != nullptr) {
            (*kept_)[innerKey_] = std::move(v);
            if (kept_->size() > limits_.maxMembers) return fail(Failure::members);
        }
        return true;
    }

    bool value(Json v) {
        if (depth_ == 0) return fail(Failure::notObject);
        return keep(std::move(v));
    }

    bool open(Json empty) {
        const bool isObject = empty.is_object();
        if (depth_ == 0 && !isObject) return fail(Failure::notObject);
        if (depth_ > 0 && !keep(std::move(empty), isObject)) return false;
        if (++depth_ > limits_.maxNesting) return fail(Failure::nesting);
        return true;
    }

    bool close() {
        if (--depth_ == 1) kept_ = nullptr;
        return true;
    }

    std::span<const std::string_view> keep_;
    KeptMemberLimits limits_;
    std::size_t depth_ = 0;
    bool keeping_ = false;     // the current member of the document is kept
    Json* kept_ = nullptr;     // the kept object whose members are being read
    std::string memberKey_, innerKey_;
};

}  // namespace

Json parseKeptMembers(std::string_view text, std::span<const std::string_view> keep, KeptMemberLimits limits) {
    KeptMembersReader reader(keep, limits);
    if (Json::sax_parse(text.begin(), text.end(), &reader)) return std::move(reader.result);
    switch (reader.failure) {
    case KeptMembersReader::Failure::nesting:
        throw LimitError("The data couldn\u2019t be read because it is nested more than " +
                         std::to_string(limits.maxNesting) + " levels deep.");
    case KeptMembersReader::Failure::members:
        throw LimitError("The data couldn\u2019t be read because an object in it has more than " +
                         std::to_string(limits.maxMembers) + " members.");
    case KeptMembersReader::Failure::notObject:
        typeMismatch("the document", "an object");
    default:
        notInTheCorrectFormat();
    }
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
