#include "host/property_list.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace tessaron::plist {
namespace {

TEST(PropertyList, WritesTheMacXMLFormByteForByte) {
    Dictionary environment{{"TESSARON_CONFIG_PATH", "/Users/ada/agent.json"}};
    Dictionary root{
        {"Label", "com.tessaron.agent"},
        {"ProgramArguments", Array{"/Applications/Tessaron.app/Contents/MacOS/tessaron", "serve"}},
        {"EnvironmentVariables", environment},
        {"RunAtLoad", true},
        {"KeepAlive", Dictionary{{"SuccessfulExit", false}}},
        {"ThrottleInterval", 5},
        {"Empty", Array{}},
        {"Nothing", Dictionary{}},
        {"Blank", ""},
    };
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n"
        "<dict>\n"
        "\t<key>Blank</key>\n"
        "\t<string></string>\n"
        "\t<key>Empty</key>\n"
        "\t<array/>\n"
        "\t<key>EnvironmentVariables</key>\n"
        "\t<dict>\n"
        "\t\t<key>TESSARON_CONFIG_PATH</key>\n"
        "\t\t<string>/Users/ada/agent.json</string>\n"
        "\t</dict>\n"
        "\t<key>KeepAlive</key>\n"
        "\t<dict>\n"
        "\t\t<key>SuccessfulExit</key>\n"
        "\t\t<false/>\n"
        "\t</dict>\n"
        "\t<key>Label</key>\n"
        "\t<string>com.tessaron.agent</string>\n"
        "\t<key>Nothing</key>\n"
        "\t<dict/>\n"
        "\t<key>ProgramArguments</key>\n"
        "\t<array>\n"
        "\t\t<string>/Applications/Tessaron.app/Contents/MacOS/tessaron</string>\n"
        "\t\t<string>serve</string>\n"
        "\t</array>\n"
        "\t<key>RunAtLoad</key>\n"
        "\t<true/>\n"
        "\t<key>ThrottleInterval</key>\n"
        "\t<integer>5</integer>\n"
        "</dict>\n"
        "</plist>\n";
    EXPECT_EQ(serializeXML(Value(root)), expected);
}

TEST(PropertyList, EscapesMarkupCharactersAndReadsThemBack) {
    Dictionary root{{"a&b<c>", "x & y < z > \"q\" 'p' \u2019\u2026"}};
    const std::string xml = serializeXML(Value(root));
    EXPECT_NE(xml.find("<key>a&amp;b&lt;c&gt;</key>"), std::string::npos);
    EXPECT_NE(xml.find("<string>x &amp; y &lt; z &gt; \"q\" 'p' \u2019\u2026</string>"), std::string::npos);
    EXPECT_EQ(parse(xml), Value(root));
}

TEST(PropertyList, RoundTripsEveryType) {
    Value root(Dictionary{
        {"string", "text with\ttab\nand newline"},
        {"negative", static_cast<std::int64_t>(-9223372036854775807LL - 1)},
        {"big", static_cast<std::int64_t>(9223372036854775807LL)},
        {"real", 0.1},
        {"yes", true},
        {"no", false},
        {"nested", Array{Array{}, Dictionary{}, Array{Dictionary{{"k", 1}}}}},
    });
    EXPECT_EQ(parse(serializeXML(root)), root);
}

TEST(PropertyList, DeepEqualityKeepsTypesApart) {
    EXPECT_NE(Value(1), Value(true));
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_NE(Value(Array{"a", "b"}), Value(Array{"b", "a"}));
    EXPECT_EQ(Value(Dictionary{{"a", 1}, {"b", 2}}), Value(Dictionary{{"b", 2}, {"a", 1}}));
}

TEST(PropertyList, EquivalenceComparesNumbersByValue) {
    const double twoTo63 = 9223372036854775808.0;
    struct Case {
        Value a, b;
        bool equivalent;
    };
    const std::vector<Case> cases = {
        {Value(5), Value(5.0), true},
        {Value(true), Value(1), true},
        {Value(false), Value(0.0), true},
        {Value(true), Value(1.0), true},
        {Value(5), Value(5.5), false},
        {Value(true), Value(2), false},
        {Value(std::int64_t(9007199254740993)), Value(9007199254740992.0), false},  // no rounding through double
        {Value(INT64_MAX), Value(twoTo63), false},
        {Value(INT64_MIN), Value(-twoTo63), true},
        {Value(0), Value(std::nan("")), false},
        {Value("5"), Value(5), false},
        {Value(Array{}), Value(Dictionary{}), false},
        {Value(Array{1, true}), Value(Array{1.0, 1}), true},
        {Value(Array{1}), Value(Array{1, 1}), false},
        {Value(Dictionary{{"KeepAlive", true}, {"ThrottleInterval", 5}}),
         Value(Dictionary{{"KeepAlive", 1}, {"ThrottleInterval", 5.0}}), true},
        {Value(Dictionary{{"a", 1}}), Value(Dictionary{{"b", 1}}), false},
        {Value(Dictionary{{"a", 1}}), Value(Dictionary{{"a", 1}, {"b", 1}}), false},
    };
    for (const auto& c : cases) {
        const std::string text = serializeXML(c.a) + serializeXML(c.b);
        EXPECT_EQ(equivalent(c.a, c.b), c.equivalent) << text;
        EXPECT_EQ(equivalent(c.b, c.a), c.equivalent) << text;
    }
}

TEST(PropertyList, ReadsHandEditedVariations) {
    const std::string document =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<!-- written by hand -->\n"
        "<plist version=\"1.0\"><dict>  <key>A</key> <string/>\n"
        "<key>B</key><integer> +42 </integer><key>C</key><true></true>"
        "<key>D</key><string>&quot;&apos;&#65;&#x2019;</string>"
        "<key>E</key><array><!-- nothing --></array></dict></plist>";
    Value expected(Dictionary{{"A", ""}, {"B", 42}, {"C", true}, {"D", "\"'A\u2019"}, {"E", Array{}}});
    EXPECT_EQ(parse(document), expected);
    // A bare value without the plist wrapper is accepted too.
    EXPECT_EQ(parse("<string>x</string>"), Value("x"));
}

TEST(PropertyList, RefusesMalformedDocuments) {
    const std::vector<std::string> bad = {
        "",
        "not xml",
        "<plist version=\"1.0\"><dict><key>A</key></dict></plist>",          // key without value
        "<plist version=\"1.0\"><dict><string>x</string></dict></plist>",    // value without key
        "<plist version=\"1.0\"><dict><key>A</key><string>x</string>",       // unterminated
        "<plist version=\"1.0\"><integer>12x</integer></plist>",
        "<plist version=\"1.0\"><integer>99999999999999999999</integer></plist>",
        "<plist version=\"1.0\"><string>a &bogus; b</string></plist>",
        "<plist version=\"1.0\"><data>AAAA</data></plist>",
        "<plist version=\"1.0\"><string>x</string></plist> trailing",
        "<plist version=\"1.0\"><dict><key>A</key><true/><key>A</key><false/></dict></plist>",
        "<plist version=\"1.0\"><string>x</array></plist>",
        "<plist version=\"1.0\"><string>\xff</string></plist>",
        "<<<<",
    };
    for (const auto& document : bad) {
        EXPECT_THROW(parse(document), PropertyListError) << document;
    }
    std::string deep;
    for (int i = 0; i < 1000; ++i) deep += "<array>";
    EXPECT_THROW(parse(deep), PropertyListError);
}

TEST(PropertyList, RefusesTextXMLCannotCarry) {
    EXPECT_THROW(serializeXML(Value("bell\a")), PropertyListError);
    EXPECT_THROW(serializeXML(Value(std::string("\xc3\x28"))), PropertyListError);
    EXPECT_THROW(serializeXML(Value(Dictionary{{std::string("\x01"), 1}})), PropertyListError);
}

}  // namespace
}  // namespace tessaron::plist
