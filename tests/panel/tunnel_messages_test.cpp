#include "panel/tunnel_messages.h"

#include <gtest/gtest.h>

using namespace tessaron;
using namespace tessaron::tunnel;

TEST(TunnelMessages, EveryWrittenMessageRoundTripsThroughItsDecoder) {
    const TunnelResponseMessage response{"response", "r1", 302, {{"Location", "/x"}, {"Set-Cookie", "a=1\nb=2"}}, "aGk="};
    EXPECT_EQ(decodeResponse(encode(response)), response);
    const TunnelHeartbeatMessage heartbeat{"heartbeat", "2026-01-31T09:15:00Z"};
    EXPECT_EQ(decodeHeartbeat(encode(heartbeat)), heartbeat);
    const TunnelStreamDataMessage data{"stream_data", "s1", ""};
    EXPECT_EQ(decodeStreamData(encode(data)), data);
    const TunnelStreamControlMessage control{"stream_close", "s1", std::string("gone")};
    EXPECT_EQ(decodeStreamControl(encode(control)), control);
    const TunnelRequestMessage request{"request", "q", "POST", "/a?b=1", {{"X-A", "1"}}, "", 8080};
    EXPECT_EQ(decodeRequest(encode(request)), request);
    const TunnelStreamOpenMessage open{"stream_open", "s2", TunnelTransport::udp, 53};
    EXPECT_EQ(decodeStreamOpen(encode(open)), open);
}

TEST(TunnelMessages, AbsentErrorIsLeftOutAndNullMeansAbsent) {
    EXPECT_EQ(encode(TunnelStreamControlMessage{"stream_opened", "s1", std::nullopt}), R"({"id":"s1","type":"stream_opened"})");
    EXPECT_EQ(decodeStreamControl(R"({"type":"stream_close","id":"s1","error":null})"),
              decodeStreamControl(R"({"type":"stream_close","id":"s1"})"));
}

TEST(TunnelMessages, ClassifyIgnoresUnknownAndUnreadableFrames) {
    for (const char* frame : {"not json", "[1,2]", R"({"type":1})", R"({"kind":"ready"})", R"({"type":"ping"})",
                              R"({"type":"Ready"})", "",
                              R"({"type":"ready","n":1e999})", "1e999"}) {
        EXPECT_TRUE(std::holds_alternative<IgnoredFrame>(classify(frame))) << frame;
    }
    EXPECT_TRUE(std::holds_alternative<ReadyFrame>(classify(R"({"type":"ready","extra":{"x":1}})")));
    const auto data = classify(R"({"type":"stream_data","id":"s","data":"AA==","more":true})");
    ASSERT_TRUE(std::holds_alternative<TunnelStreamDataMessage>(data));
    EXPECT_EQ(std::get<TunnelStreamDataMessage>(data).data, "AA==");
}

TEST(TunnelMessages, KnownTypeWithBadBodyThrows) {
    for (const char* frame : {
             R"({"type":"stream_open","id":"s","transport":"TCP","targetPort":22})",
             R"({"type":"stream_open","id":"s","transport":"tcp","targetPort":"22"})",
             R"({"type":"stream_open","id":"s","transport":"tcp","targetPort":2.5})",
             R"({"type":"stream_data","id":"s"})",
             R"({"type":"stream_end"})",
             R"({"type":"stream_close","id":7})",
             R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"targetPort":80})",
             R"({"type":"request","id":"r","method":"GET","path":"/","headers":{"a":1},"body":"","targetPort":80})",
             R"({"type":"request","id":"r","method":"GET","path":"/","headers":null,"body":"","targetPort":80})",
         }) {
        EXPECT_THROW(classify(frame), json::DecodingError) << frame;
    }
}

TEST(TunnelMessages, Base64IsStandardPaddedAndStrict) {
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
    EXPECT_EQ(base64Encode("\xfb\xff"), "+/8=");
    for (const char* bad : {"aGk", "aGk=\n", " aGk=", "aG=k", "a===", "aGk*", "aGk==", "aGl=" /* non-zero pad bits */}) {
        EXPECT_FALSE(base64Decode(bad).has_value()) << bad;
    }
    EXPECT_EQ(base64Decode(""), std::string());
}

TEST(TunnelMessages, HeartbeatTimeHasWholeSecondsAndZ) {
    const std::string at = heartbeatTimestampNow();
    ASSERT_EQ(at.size(), 20u);
    EXPECT_EQ(at[10], 'T');
    EXPECT_EQ(at.back(), 'Z');
}
