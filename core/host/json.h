#pragma once
// JSON on nlohmann::json with strict, typed decoding. A missing key or a value of
// the wrong type is a DecodingError naming the key; output is compact with keys in
// sorted order (nlohmann's default object is an ordered map by key).

#include "host/error.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaron::json {

using Json = nlohmann::json;

class DecodingError : public Error {
public:
    using Error::Error;
};

// Parses a whole document. Invalid JSON (trailing garbage included) is a DecodingError.
Json parse(std::string_view text);
// Parses and requires an object at the top.
Json parseObject(std::string_view text);

// A document beyond what parseKeptMembers() takes: nested too deeply, or too many members in one object.
class LimitError : public DecodingError {
public:
    using DecodingError::DecodingError;
};

struct KeptMemberLimits {
    std::size_t maxNesting = 512;    // arrays and objects inside one another, anywhere in the document
    std::size_t maxMembers = 10000;  // members of an object kept inside a kept member
};

// For text from a peer that may be hostile: an object of which only the members named in
// `keep` are built, so that decoding costs a small multiple of the text's size whatever
// its shape (a full tree of a deeply nested document costs dozens of times its size).
// The whole text must still be JSON, but the other members are dropped as they are read.
// A kept member's value is kept when it is a string, number, boolean or null, and so are
// the members of an object value; arrays, and objects inside that object, are kept empty
// (so that their type still shows to the typed access below). A repeated member replaces
// the earlier one, as in parse(). Invalid JSON, or a document that is not an object, is a
// DecodingError; a document beyond `limits` is a LimitError.
Json parseKeptMembers(std::string_view text, std::span<const std::string_view> keep, KeptMemberLimits limits = {});

// Compact text, sorted keys; invalid UTF-8 in strings is replaced rather than thrown.
std::string encode(const Json& value);

// Typed access to an object's members. `required` throws when the key is missing
// or null; the optional forms accept a missing key or null and throw on a wrong type.
const Json& required(const Json& object, std::string_view key);
std::string string(const Json& object, std::string_view key);
std::optional<std::string> optionalString(const Json& object, std::string_view key);
std::int64_t int64(const Json& object, std::string_view key);
std::optional<std::int64_t> optionalInt64(const Json& object, std::string_view key);
std::uint64_t uint64(const Json& object, std::string_view key);
std::optional<std::uint64_t> optionalUInt64(const Json& object, std::string_view key);
double number(const Json& object, std::string_view key);
std::optional<double> optionalNumber(const Json& object, std::string_view key);
bool boolean(const Json& object, std::string_view key);
std::optional<bool> optionalBoolean(const Json& object, std::string_view key);
std::vector<std::string> stringArray(const Json& object, std::string_view key);
const Json& object(const Json& object, std::string_view key);
const Json& array(const Json& object, std::string_view key);

// The same conversions on a bare value (for array elements); `what` names it in errors.
std::string asString(const Json& value, std::string_view what);
std::int64_t asInt64(const Json& value, std::string_view what);
std::uint64_t asUInt64(const Json& value, std::string_view what);
double asNumber(const Json& value, std::string_view what);
void requireObject(const Json& value, std::string_view what);

}  // namespace tessaron::json
