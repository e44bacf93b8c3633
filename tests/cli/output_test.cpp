#include "cli/output.h"

#include <gtest/gtest.h>

namespace tessaron::cli {
namespace {

TEST(Output, TerminalEscapesLeaveTextButNeverAControlCharacterOrBrokenUTF8) {
    struct Case {
        std::string text;
        bool keepLineFeeds;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"vm \u201cstart\u201d \u2026 \u00e9 \U0001F600", false, "vm \u201cstart\u201d \u2026 \u00e9 \U0001F600"},
        {"\x1B[2J\x1B]0;title\x07", false, "\\x1B[2J\\x1B]0;title\\x07"},
        {"a\nb\tc\rd\x7F", false, "a\\nb\\tc\\rd\\x7F"},
        {"a\nb\r", true, "a\nb\\r"},
        {std::string("nul\0end", 7), false, "nul\\x00end"},
        {"\xC2\x9B" "31m", false, "\\u009B31m"},  // the one-byte form of ESC [
        {"bad \xFF\xFE end", false, "bad \\xFF\\xFE end"},
        {"cut \xE2\x80", false, "cut \\xE2\\x80"},
        {"\xED\xA0\x80", false, "\\xED\\xA0\\x80"},  // a UTF-16 surrogate
        {"C:\\path", false, "C:\\path"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(escapedForTerminal(c.text, c.keepLineFeeds), c.shown);
        // Escaping twice changes nothing more, so a word escaped inside a message that is
        // escaped again as a whole reads the same.
        EXPECT_EQ(escapedForTerminal(escapedForTerminal(c.text, c.keepLineFeeds), c.keepLineFeeds), c.shown);
    }
}

}  // namespace
}  // namespace tessaron::cli
