#include "cli/cli_options.h"

#include <gtest/gtest.h>

namespace tessaron::cli {
namespace {

struct ParseCase {
    std::vector<std::string> words;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
};

TEST(CLIOptions, ParsesValuesFlagsAndSkipsOtherWords) {
    const std::vector<ParseCase> cases = {
        {{"--control", "value", "--restart"}, {{"control", "value"}}, {"restart"}},
        {{"--restart", "--cpus", "4"}, {{"cpus", "4"}}, {"restart"}},
        {{"status", "--plist"}, {}, {"plist"}},
        {{"vm", "resize", "--cpus", "4", "--cpus", "6"}, {{"cpus", "6"}}, {}},
        // A single dash is an ordinary word, so it can be a value.
        {{"--offset", "-5"}, {{"offset", "-5"}}, {}},
        // "--" alone is the option with the empty name; no "=" form exists.
        {{"--", "x", "--cpus=4"}, {{"", "x"}}, {"cpus=4"}},
        // The same name given both ways lands in both collections.
        {{"--confirm", "--confirm", "yes"}, {{"confirm", "yes"}}, {"confirm"}},
        {{"--name", ""}, {{"name", ""}}, {}},
        {{}, {}, {}},
    };
    for (const auto& c : cases) {
        CLIOptions options(c.words);
        EXPECT_EQ(options.values, c.values) << ::testing::PrintToString(c.words);
        EXPECT_EQ(options.flags, c.flags) << ::testing::PrintToString(c.words);
    }
}

TEST(CLIOptions, ValueFallsBackToDefaultThenFailsWithMissingOption) {
    CLIOptions options({"--control", "https://panel.example", "--name", "", "--plist"});
    EXPECT_EQ(options.value("control"), "https://panel.example");
    EXPECT_EQ(options.value("control", "other"), "https://panel.example");
    EXPECT_EQ(options.value("name", "fallback"), "fallback");  // empty counts as missing
    EXPECT_EQ(options.value("absent", ""), "");
    EXPECT_TRUE(options.hasFlag("plist"));
    EXPECT_FALSE(options.hasFlag("control"));

    for (const std::string name : {"name", "plist", "absent"}) {
        try {
            options.value(name);
            ADD_FAILURE() << name;
        } catch (const CLIError& error) {
            EXPECT_EQ(error.kind(), CLIError::Kind::missingOption);
            EXPECT_EQ(std::string(error.what()), "Missing required option --" + name + ".");
        }
    }
}

TEST(CLIError, DescriptionsAreExact) {
    EXPECT_STREQ(CLIError::missingOption("control").what(), "Missing required option --control.");
    EXPECT_STREQ(CLIError::invalidOption("cpus", "x").what(), "Invalid --cpus: x");
    EXPECT_STREQ(CLIError::invalidURL("abc").what(), "Invalid URL: abc");
    EXPECT_STREQ(CLIError::unsupportedMac("Needs Apple silicon.").what(), "Needs Apple silicon.");
    EXPECT_STREQ(CLIError::pairing("The control plane returned HTTP 500.").what(),
                 "The control plane returned HTTP 500.");
    EXPECT_EQ(CLIError::invalidURL("abc").kind(), CLIError::Kind::invalidURL);
    EXPECT_EQ(CLIError::pairing("x").kind(), CLIError::Kind::pairing);
    // Front ends catch the common base type.
    try {
        throw CLIError::invalidOption("profile", "huge");
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "Invalid --profile: huge");
    }
}

}  // namespace
}  // namespace tessaron::cli
