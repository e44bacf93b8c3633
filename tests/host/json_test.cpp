#include "host/json.h"
#include "host/sha256.h"

#include <gtest/gtest.h>

#include <tuple>

namespace json = tessaron::json;

TEST(Json, StrictTypedAccess) {
    auto object = json::parseObject(R"({"s":"x","n":3,"big":18446744073709551615,"neg":-2,"f":2.5,"b":true,"nul":null,
                                         "list":["a","b"],"mixed":["a",1]})");
    EXPECT_EQ(json::string(object, "s"), "x");
    EXPECT_EQ(json::int64(object, "n"), 3);
    EXPECT_EQ(json::uint64(object, "big"), 18446744073709551615ull);
    EXPECT_EQ(json::int64(object, "neg"), -2);
    EXPECT_DOUBLE_EQ(json::number(object, "f"), 2.5);
    EXPECT_TRUE(json::boolean(object, "b"));
    EXPECT_EQ(json::stringArray(object, "list"), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(json::optionalString(object, "nul"));
    EXPECT_FALSE(json::optionalString(object, "absent"));

    EXPECT_THROW(json::string(object, "n"), json::DecodingError);
    EXPECT_THROW(json::string(object, "absent"), json::DecodingError);
    EXPECT_THROW(json::string(object, "nul"), json::DecodingError);
    EXPECT_THROW(json::int64(object, "big"), json::DecodingError);   // does not fit
    EXPECT_THROW(json::uint64(object, "neg"), json::DecodingError);  // negative
    EXPECT_THROW(json::int64(object, "f"), json::DecodingError);     // fraction
    EXPECT_THROW(json::optionalString(object, "n"), json::DecodingError);
    EXPECT_THROW(json::stringArray(object, "mixed"), json::DecodingError);
}

TEST(Json, RefusesMalformedDocuments) {
    for (const char* text : {"", "{", "{\"a\":1} trailing", "[1,2", "nul"}) EXPECT_THROW(json::parse(text), json::DecodingError) << text;
    EXPECT_THROW(json::parseObject("[1]"), json::DecodingError);
    try {
        json::string(json::parseObject("{}"), "machineID");
        FAIL();
    } catch (const json::DecodingError& error) {
        EXPECT_NE(std::string(error.what()).find("\"machineID\""), std::string::npos) << "the message names the key";
    }
}

// Only the named members are built, their containers one level down at most; limits and
// malformed text are refused apart.
TEST(Json, KeptMembersParseBuildsOnlyWhatItKeeps) {
    constexpr std::string_view keep[] = {"a", "b", "d"};
    const json::KeptMemberLimits limits{.maxNesting = 4, .maxMembers = 2};
    enum class Refusal { none, limit, format };
    const std::vector<std::tuple<std::string, std::string, Refusal>> rows = {
        {R"({"a":"x","b":[1,{"c":2}],"d":{"g":[1],"h":{"i":1}},"z":{"y":[1,2]}})",
         R"({"a":"x","b":[],"d":{"g":[],"h":{}}})", Refusal::none},
        {R"({"a":1,"b":null,"a":"two"})", R"({"a":"two","b":null})", Refusal::none},
        {R"({"d":{"x":1},"d":{"y":2,"y":3}})", R"({"d":{"y":3}})", Refusal::none},
        {R"({"d":{"1":1,"2":2},"z":{"1":1,"2":2,"3":3}})", R"({"d":{"1":1,"2":2}})", Refusal::none},
        {R"({"d":{"1":1,"2":2,"3":3}})", "", Refusal::limit},
        {R"({"z":[[[]]]})", "{}", Refusal::none},
        {R"({"z":[[[[]]]]})", "", Refusal::limit},
        {R"({"z":[[[[)", "", Refusal::limit},  // refused before the text is seen to be broken
        {R"({"a":[{"b":{"c":{}}}]})", "", Refusal::limit},
        {R"({"a":1)", "", Refusal::format},
        {R"({"a":1} x)", "", Refusal::format},
        {R"({"z":1e999})", "", Refusal::format},
        {"[1]", "", Refusal::format},
        {R"("a")", "", Refusal::format},
        {"", "", Refusal::format},
    };
    for (const auto& [text, kept, refusal] : rows) {
        SCOPED_TRACE(text);
        try {
            EXPECT_EQ(json::encode(json::parseKeptMembers(text, keep, limits)), kept);
            EXPECT_EQ(refusal, Refusal::none);
        } catch (const json::LimitError&) {
            EXPECT_EQ(refusal, Refusal::limit);
        } catch (const json::DecodingError&) {
            EXPECT_EQ(refusal, Refusal::format);
        }
    }
}

TEST(Json, EncodesCompactlyWithSortedKeysAndSurvivesBadUTF8) {
    json::Json value = {{"zeta", 1}, {"alpha", {{"b", true}, {"a", nullptr}}}};
    EXPECT_EQ(json::encode(value), R"({"alpha":{"a":null,"b":true},"zeta":1})");
    json::Json bad = {{"text", std::string("ok\xff")}};
    EXPECT_NO_THROW(json::encode(bad));
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(tessaron::sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(tessaron::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
