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

// Texts are encoded and decoded several bytes at a time: every length around those steps
// encodes as one group at a time would, and a bad character anywhere stops the groups just
// before its own, with the bytes before it intact.
TEST(Base64, WordAtATimeStepsMatchGroupAtATime) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t n = 0; n < 130; ++n) {
        std::string bytes(n, '\0');
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 73 + n * 5 + 11);
        std::string expected;
        for (std::size_t i = 0; i < n; i += 3) {
            const std::size_t rest = std::min<std::size_t>(3, n - i);
            std::uint32_t v = 0;
            for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < rest ? static_cast<unsigned char>(bytes[i + k]) : 0u);
            for (std::size_t k = 0; k < 4; ++k) expected += k <= rest ? alphabet[(v >> (18 - 6 * k)) & 63] : '=';
        }
        const std::string text = base64Encode(bytes);
        ASSERT_EQ(text, expected) << n;
        ASSERT_EQ(base64Decode(text), bytes) << n;
        const std::size_t groups = n / 3 * 4;
        for (std::size_t at = 0; at < groups; ++at) {
            std::string bad = text.substr(0, groups);
            bad[at] = '*';
            std::string out(groups / 4 * 3, '\x55');
            const std::size_t decoded = base64DecodeGroups(bad, out.data());
            EXPECT_EQ(decoded, at / 4 * 4) << n << " " << at;
            EXPECT_EQ(out.substr(0, decoded / 4 * 3), bytes.substr(0, decoded / 4 * 3)) << n << " " << at;
        }
    }
}
