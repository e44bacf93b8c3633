#include "host/url.h"

#include <gtest/gtest.h>

using tessaron::Url;

TEST(Url, ParsesTheParts) {
    auto url = Url::parse("HTTPS://Panel.Example.com:8443/base/path?x=1#top");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "https");
    EXPECT_EQ(url->host(), "panel.example.com");
    EXPECT_EQ(url->port(), 8443);
    EXPECT_EQ(url->path(), "/base/path");
    EXPECT_EQ(url->query(), "x=1");
    // The text is kept as written: the pairing key is computed from it.
    EXPECT_EQ(url->absoluteString(), "HTTPS://Panel.Example.com:8443/base/path?x=1#top");
}

TEST(Url, IPv6HostsKeepTheirBrackets) {
    auto url = Url::parse("http://[::1]:8080/");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->host(), "[::1]");
    EXPECT_EQ(url->hostName(), "::1");
    EXPECT_EQ(url->port(), 8080);
}

TEST(Url, RefusesWhatIsNotAnAbsoluteURL) {
    for (const char* text : {"", "panel.example.com", "/relative/path", "https://exa mple.com", "https://example.com:99999",
                             "https://example.com:8a", "https://[::1", "1http://x", "https://ex\"ample.com", "http://é.com"}) {
        EXPECT_FALSE(Url::parse(text)) << text;
    }
}

TEST(Url, AppendingPathComponentAddsExactlyOneSlash) {
    EXPECT_EQ(Url::parse("https://x.example")->appendingPathComponent("api/tessaron/agent/control").absoluteString(),
              "https://x.example/api/tessaron/agent/control");
    EXPECT_EQ(Url::parse("https://x.example/")->appendingPathComponent("api/tessaron/setup").absoluteString(),
              "https://x.example/api/tessaron/setup");
    EXPECT_EQ(Url::parse("https://x.example/base")->appendingPathComponent("/api").absoluteString(),
              "https://x.example/base/api");
    EXPECT_EQ(Url::parse("http://127.0.0.1:9/p?q=1")->appendingPathComponent("c").absoluteString(),
              "http://127.0.0.1:9/p/c?q=1");
}

TEST(Url, AppendingWhatCannotStayAPathIsAnError) {
    const Url base = *Url::parse("https://x.example/p?q=1");
    for (const char* component : {"{", "a b", "caf\u00E9", "m?x=1", "m#f"})
        EXPECT_THROW(base.appendingPathComponent(component), tessaron::Error) << component;
    EXPECT_EQ(base.appendingPathComponent("m/" + Url::percentEncoded("{a b?#/%}")).absoluteString(),
              "https://x.example/p/m/%7Ba%20b%3F%23%2F%25%7D?q=1");
}

TEST(Url, EffectivePortFollowsTheScheme) {
    EXPECT_EQ(Url::parse("wss://edge.example/tunnel")->effectivePort(), 443);
    EXPECT_EQ(Url::parse("ws://edge.example")->effectivePort(), 80);
    EXPECT_EQ(Url::parse("ws://edge.example:7000")->effectivePort(), 7000);
    EXPECT_FALSE(Url::parse("mailto:someone@example.com")->effectivePort());
}

TEST(Url, EqualityIsByText) {
    // A trailing slash makes a different control URL (and a different pairing key).
    EXPECT_NE(*Url::parse("https://x.example"), *Url::parse("https://x.example/"));
    EXPECT_EQ(*Url::parse("https://x.example"), *Url::parse("https://x.example"));
}
