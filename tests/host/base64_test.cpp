#include "host/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tessaron;

TEST(Base64, IsStandardPaddedAndStrict) {
    const std::string all = [] {
        std::string bytes;
        for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
        return bytes;
    }();
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 256u}) {
        const std::string bytes = all.substr(0, n);
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes) << n;
    }
    EXPECT_EQ(base64Encode("hi"), "aGk=");
    EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(base64Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64Decode("Zm9vYmFyZm9vYg=="), "foobarfoob");
    EXPECT_EQ(base64Encode("\xfb\xff"), "+/8=");
    // The last three: spare bits left non-zero, after one and after two padding characters.
    for (const char* bad : {"aGk", "aGk=\n", " aGk=", "aG=k", "a===", "aGk*", "aGk==", "aGl=", "AB==", "AP=="}) {
        EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
    }
    EXPECT_EQ(base64Decode(""), std::string());
    // Longer texts: every group before the last one, too, is checked.
    std::string longer;
    for (int i = 0; i < 4; ++i) longer += all;
    for (std::size_t n : {1000u, 1001u, 1002u}) {
        EXPECT_EQ(base64Decode(base64Encode(longer.substr(0, n))), longer.substr(0, n)) << n;
    }
    const std::vector<std::string> badGroups = {"aGk=aGk=", "AA==AAAA", "AAAA*AAA", "AAAAAA=A", "AAAA\x80" "AAA",
                                                "AAAA AAA", std::string("AAAA\0AAA", 8)};
    for (const auto& bad : badGroups) EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
}
