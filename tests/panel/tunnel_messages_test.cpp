#include "panel/tunnel_messages.h"

#include "host/base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>
#include <vector>

using namespace tessaron;
using namespace tessaron::tunnel;

// What this program allocates through operator new, counted for the thread that measures
// while it measures (so the figures do not depend on the machine's load or the allocator).
namespace {
thread_local bool measuring = false;
thread_local std::size_t liveBytes = 0, peakBytes = 0;

void* counted(std::size_t size) noexcept {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p != nullptr && measuring) {
        liveBytes += malloc_usable_size(p);
        peakBytes = std::max(peakBytes, liveBytes);
    }
    return p;
}
void uncounted(void* p) noexcept {
    if (p != nullptr && measuring) liveBytes -= std::min(liveBytes, malloc_usable_size(p));
    std::free(p);
}
void* countedOrThrow(std::size_t size) {
    if (void* p = counted(size)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return countedOrThrow(size); }
void* operator new[](std::size_t size) { return countedOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { uncounted(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { uncounted(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { uncounted(p); }

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

// The cheap reading of "stream_data" frames must agree with the full decoder: whatever
// it recognises decodes to the same id and data, and everything else is left to it.
TEST(TunnelMessages, StreamDataFastPathAgreesWithTheFullDecoder) {
    enum class Outcome { data, ignored, throws, other };
    struct Row {
        std::string frame;
        bool recognized;
        Outcome outcome;
        std::string id, data;  // for Outcome::data
    };
    const std::vector<Row> rows = {
        {R"({"data":"AAEC","id":"t1","type":"stream_data"})", true, Outcome::data, "t1", "AAEC"},
        {R"({"type":"stream_data","id":"s","data":"AA=="})", true, Outcome::data, "s", "AA=="},
        {R"({"id":"","data":"","type":"stream_data"})", true, Outcome::data, "", ""},
        {R"({"data":"!! not base64 ~","id":"s 1/2","type":"stream_data"})", true, Outcome::data, "s 1/2",
         "!! not base64 ~"},
        {R"({"data":"A\/A=","id":"s","type":"stream_data"})", false, Outcome::data, "s", "A/A="},
        {R"({"data":"AA==","id":"\u0073","type":"stream_data"})", false, Outcome::data, "s", "AA=="},
        {R"({"data":"AA==","id":"\"","type":"stream_data"})", false, Outcome::data, "\"", "AA=="},
        {R"({ "data":"AA==","id":"s","type":"stream_data"})", false, Outcome::data, "s", "AA=="},
        {R"({"data" : "AA==","id":"s","type":"stream_data"})", false, Outcome::data, "s", "AA=="},
        {"{\"data\":\"AA==\",\"id\":\"s\",\"type\":\"stream_data\"}\n", false, Outcome::data, "s", "AA=="},
        {R"({"data":"AA==","id":"s","type":"stream_data","more":true})", false, Outcome::data, "s", "AA=="},
        {R"({"data":"AA==","id":"s","type":"stream_data","x":"y"})", false, Outcome::data, "s", "AA=="},
        {R"({"data":"AA==","id":"s","more":"x","type":"stream_data"})", false, Outcome::data, "s", "AA=="},
        {"{\"data\":\"AA==\",\"id\":\"\xc3\xa9\",\"type\":\"stream_data\"}", false, Outcome::data, "\xc3\xa9", "AA=="},
        {R"({"data":"AA==","data":"AQ==","id":"s","type":"stream_data"})", false, Outcome::other, "", ""},
        {R"({"data":"AA==","id":"s","type":"stream_data","type":"stream_data"})", false, Outcome::other, "", ""},
        {R"({"id":"s","type":"stream_data"})", false, Outcome::throws, "", ""},
        {R"({"data":null,"id":"s","type":"stream_data"})", false, Outcome::throws, "", ""},
        {R"({"data":12,"id":"s","type":"stream_data"})", false, Outcome::throws, "", ""},
        {R"({"data":"AA==","id":7,"type":"stream_data"})", false, Outcome::throws, "", ""},
        {R"({"data":"AA==","id":"s","type":"stream_end"})", false, Outcome::other, "", ""},
        {R"({"data":"AA==","id":"s","type":"Stream_data"})", false, Outcome::ignored, "", ""},
        {R"({"data":"AA==","id":"s","type":"stream_data"}})", false, Outcome::ignored, "", ""},
        {R"({"data":"AA==","id":"s","type":"stream_data",})", false, Outcome::ignored, "", ""},
        {R"({"data":"AA==""id":"s","type":"stream_data"})", false, Outcome::ignored, "", ""},
        {R"({"data":"AA==","id":"s","type":"stream_data")", false, Outcome::ignored, "", ""},
        {R"({"data":"AA==","id":"s"})", false, Outcome::ignored, "", ""},
        {R"({"data":"AA==,"id":"s","type":"stream_data"})", false, Outcome::ignored, "", ""},
        {"{\"data\":\"AA==\",\"id\":\"\x01\",\"type\":\"stream_data\"}", false, Outcome::ignored, "", ""},
        {"{\"data\":\"AA==\",\"id\":\"\xff\",\"type\":\"stream_data\"}", false, Outcome::ignored, "", ""},
        {"{\"data\":\"A\tA==\",\"id\":\"s\",\"type\":\"stream_data\"}", false, Outcome::ignored, "", ""},
        {"{}", false, Outcome::ignored, "", ""},
        {"", false, Outcome::ignored, "", ""},
        {"{\"", false, Outcome::ignored, "", ""},
        // Data that is read as a plain string but is not strict Base64.
        {R"({"data":"AB==","id":"s","type":"stream_data"})", true, Outcome::data, "s", "AB=="},
        {R"({"data":"AAB=","id":"s","type":"stream_data"})", true, Outcome::data, "s", "AAB="},
        {R"({"data":"AA==AAAA","id":"s","type":"stream_data"})", true, Outcome::data, "s", "AA==AAAA"},
        {R"({"data":"AAAAA","id":"s","type":"stream_data"})", true, Outcome::data, "s", "AAAAA"},
        {R"({"data":"AAAAAAA=A","id":"s","type":"stream_data"})", true, Outcome::data, "s", "AAAAAAA=A"},
        {R"({"data":"AAAA=","id":"s","type":"stream_data"})", true, Outcome::data, "s", "AAAA="},
        {R"({"data":"=","id":"s","type":"stream_data"})", true, Outcome::data, "s", "="},
        {R"({"data":"AAAAAAA=","id":"s","type":"stream_data"})", true, Outcome::data, "s", "AAAAAAA="},
    };
    std::vector<char> payload(streamDataBufferSize);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frame);
        const auto view = recognizeStreamData(row.frame);
        EXPECT_EQ(view.has_value(), row.recognized);
        // Decoding while reading gives what the view's data decodes to.
        const auto decoded = readStreamData(row.frame, payload.data());
        EXPECT_EQ(decoded.has_value(), row.recognized);
        if (decoded && view) {
            EXPECT_EQ(decoded->id, view->id);
            const auto bytes = base64Decode(view->data);
            EXPECT_EQ(decoded->valid, bytes.has_value());
            if (decoded->valid && bytes) { EXPECT_EQ(std::string(payload.data(), decoded->size), *bytes); }
        }
        if (view) {
            // The full decoder on the same bytes.
            EXPECT_EQ(decodeKind(row.frame).type, "stream_data");
            const auto full = decodeStreamData(row.frame);
            EXPECT_EQ(view->id, full.id);
            EXPECT_EQ(view->data, full.data);
        }
        switch (row.outcome) {
            case Outcome::data: {
                const auto frame = classify(row.frame);
                ASSERT_TRUE(std::holds_alternative<TunnelStreamDataMessage>(frame));
                EXPECT_EQ(std::get<TunnelStreamDataMessage>(frame),
                          (TunnelStreamDataMessage{"stream_data", row.id, row.data}));
                break;
            }
            case Outcome::ignored:
                EXPECT_TRUE(std::holds_alternative<IgnoredFrame>(classify(row.frame)));
                break;
            case Outcome::throws:
                EXPECT_THROW(classify(row.frame), json::DecodingError);
                break;
            case Outcome::other:
                EXPECT_NO_THROW(classify(row.frame));
                break;
        }
    }
}

// Requests, stream opens and stream ends in the writer's plain form are read without a
// JSON tree; every frame reads as the tree reads it (same message, same refusal), whether
// it takes that way or not.
TEST(TunnelMessages, PlainFramesReadAsTheJSONTreeReadsThem) {
    enum class Outcome { request, open, end, close, ready, ignored, throws };
    const std::vector<std::pair<std::string, Outcome>> rows = {
        {R"({"body":"aGk=","headers":{"Accept":"*/*","X-A":"1"},"id":"r1","method":"POST","path":"/a?b=1","targetPort":8080,"type":"request"})",
         Outcome::request},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":80})", Outcome::request},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":-7})", Outcome::request},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":0})", Outcome::request},
        // Forms left to the tree: escapes, white space, other numbers, repeats, other members.
        {R"({"type":"request","id":"r\u0031","method":"GET","path":"/","headers":{"a":"\""},"body":"","targetPort":80})",
         Outcome::request},
        {R"({"type":"request", "id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":80})", Outcome::request},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":8e1})", Outcome::request},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":80.0})", Outcome::request},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{"a":"1","a":"2"},"body":"","targetPort":80})",
         Outcome::request},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":80,"x":[1]})",
         Outcome::request},
        {R"({"type":"request","id":"r","id":"s","method":"GET","path":"/","headers":{},"body":"","targetPort":80})",
         Outcome::request},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":1234567890123456789})",
         Outcome::request},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":-0})", Outcome::request},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":080})", Outcome::ignored},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":-})", Outcome::ignored},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":80,})", Outcome::ignored},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{,},"body":"","targetPort":80})", Outcome::ignored},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":80}x)", Outcome::ignored},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":99999999999999999999})",
         Outcome::throws},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"targetPort":80})", Outcome::throws},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{"a":1},"body":"","targetPort":80})", Outcome::throws},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":[],"body":"","targetPort":80})", Outcome::throws},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":null,"targetPort":80})", Outcome::throws},
        {R"({"type":"request","id":"r","method":"GET","path":"/","headers":{},"body":"","targetPort":"80"})", Outcome::throws},
        {R"({"id":"t1","targetPort":22,"transport":"tcp","type":"stream_open"})", Outcome::open},
        {R"({"type":"stream_open","id":"u","transport":"udp","targetPort":53,"x":"y"})", Outcome::open},
        {R"({"type":"stream_open","id":"u","transport":"TCP","targetPort":53})", Outcome::throws},
        {R"({"type":"stream_open","id":"u","transport":"tcp"})", Outcome::throws},
        {R"({"id":"t1","type":"stream_end"})", Outcome::end},
        {R"({"error":"gone","id":"t1","type":"stream_close"})", Outcome::close},
        {R"({"error":null,"id":"t1","type":"stream_close"})", Outcome::close},
        {R"({"id":"t1","type":"stream_close","error":"a","error":"b"})", Outcome::close},
        {R"({"type":"stream_end"})", Outcome::throws},
        {R"({"error":7,"id":"t1","type":"stream_close"})", Outcome::throws},
        {R"({"type":"ready"})", Outcome::ready},
        {R"({"type":"ready","id":"x"})", Outcome::ready},
        {R"({"type":"ready"} )", Outcome::ready},
        {R"({"type":"pong","id":"x"})", Outcome::ignored},
        {R"({"type":7})", Outcome::ignored},
        {R"({})", Outcome::ignored},
    };
    for (const auto& [frame, outcome] : rows) {
        SCOPED_TRACE(frame);
        if (outcome == Outcome::throws) {
            EXPECT_THROW(classify(frame), json::DecodingError);
            continue;
        }
        const ReceivedFrame read = classify(frame);
        const ReceivedFrame kind = outcome == Outcome::request ? ReceivedFrame(TunnelRequestMessage{})
                                   : outcome == Outcome::open  ? ReceivedFrame(TunnelStreamOpenMessage{})
                                   : outcome == Outcome::end   ? ReceivedFrame(StreamEndFrame{})
                                   : outcome == Outcome::close ? ReceivedFrame(StreamCloseFrame{})
                                   : outcome == Outcome::ready ? ReceivedFrame(ReadyFrame{})
                                                               : ReceivedFrame(IgnoredFrame{});
        EXPECT_EQ(read.index(), kind.index());
        // The decoders below read through the JSON tree.
        if (const auto* request = std::get_if<TunnelRequestMessage>(&read)) { EXPECT_EQ(*request, decodeRequest(frame)); }
        if (const auto* open = std::get_if<TunnelStreamOpenMessage>(&read)) { EXPECT_EQ(*open, decodeStreamOpen(frame)); }
        if (const auto* end = std::get_if<StreamEndFrame>(&read)) { EXPECT_EQ(end->message, decodeStreamControl(frame)); }
        if (const auto* close = std::get_if<StreamCloseFrame>(&read)) { EXPECT_EQ(close->message, decodeStreamControl(frame)); }
    }
    // Answers (read by the edge) likewise.
    const TunnelResponseMessage answer{"response", "r1", 404, {{"Content-Type", "text/plain"}}, "aGk="};
    EXPECT_EQ(decodeResponse(encode(answer)), answer);
    EXPECT_EQ(decodeResponse(R"({"type":"response","id":"r1","status":404,"headers":{"Content-Type":"text\/plain"},"body":"aGk="})"),
              answer);
    EXPECT_EQ(decodeResponse(R"({"type":"response","id":"r1","status":404.0,"headers":{"Content-Type":"text/plain"},"body":"aGk="})"),
              answer);
    EXPECT_THROW(decodeResponse(R"({"type":"response","id":"r1","status":"404","headers":{},"body":""})"),
                 json::DecodingError);
    EXPECT_THROW(decodeResponse(R"({"type":"response","id":"r1","status":404,"headers":{},"body":""}})"),
                 json::DecodingError);
}

// At the size limit: the largest payload decodes, one byte more (whole or padded last
// group) is invalid, and so is an over-long run of Base64 in the same frame.
TEST(TunnelMessages, DecodedStreamDataStopsAtTheLargestPayload) {
    std::vector<char> payload(streamDataBufferSize);
    for (const std::size_t size : {maxStreamPayload - 1, maxStreamPayload, maxStreamPayload + 1,
                                   maxStreamPayload + 2, maxStreamPayload + 3, 3 * maxStreamPayload}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + 7);
        const std::string frame = encodeStreamData("big", bytes);
        const auto decoded = readStreamData(frame, payload.data());
        ASSERT_TRUE(decoded.has_value()) << size;
        EXPECT_EQ(decoded->id, "big");
        EXPECT_EQ(decoded->valid, size <= maxStreamPayload) << size;
        if (decoded->valid) { EXPECT_TRUE(std::string(payload.data(), decoded->size) == bytes) << size; }
    }
}

// Response frames written without a JSON tree are the very text the JSON writer gives;
// strings that need escaping take the writer itself.
TEST(TunnelMessages, DirectlyWrittenResponsesMatchTheJSONWriter) {
    const std::vector<TunnelResponseMessage> responses = {
        {"response", "r1", 200, {}, ""},
        {"response", "r2", 302, {{"Location", "/x?a=1&b=2"}, {"Set-Cookie", "a=1"}, {"content-type", "text/html"}}, "aGk="},
        {"response", "r3", 200, {{"X-Quote", "say \"hi\""}}, "aGk="},
        {"response", "r4", 200, {{"Set-Cookie", "a=1\nb=2"}}, ""},
        {"response", "r\\5", 502, {{"X", "\xc3\xa9"}}, ""},
        {"response", "r6", -1, {{"", ""}}, "AA=="},
    };
    for (const auto& response : responses) {
        SCOPED_TRACE(response.id);
        json::Json headers = json::Json::object();
        for (const auto& [name, value] : response.headers) headers[name] = value;
        const std::string tree = json::encode(json::Json{{"type", response.type}, {"id", response.id},
                                                         {"status", response.status}, {"headers", headers},
                                                         {"body", response.body}});
        EXPECT_EQ(encode(response), tree);
    }
}

// Requests (written by the edge) likewise.
TEST(TunnelMessages, DirectlyWrittenRequestsMatchTheJSONWriter) {
    const std::vector<TunnelRequestMessage> requests = {
        {"request", "r1", "GET", "/", {}, "", 80},
        {"request", "r2", "POST", "/a?b=1&c=%20", {{"Accept", "*/*"}, {"X-A", "1"}}, "aGk=", 8080},
        {"request", "r3", "GET", "/\"", {{"X", "\xc3\xa9"}}, "", -1},
    };
    for (const auto& request : requests) {
        SCOPED_TRACE(request.id);
        json::Json headers = json::Json::object();
        for (const auto& [name, value] : request.headers) headers[name] = value;
        EXPECT_EQ(encode(request), json::encode(json::Json{{"type", request.type}, {"id", request.id},
                                                           {"method", request.method}, {"path", request.path},
                                                           {"headers", headers}, {"body", request.body},
                                                           {"targetPort", request.targetPort}}));
    }
}

// Every byte that JSON would not carry as itself makes the cheap reading step aside,
// wherever it stands in a long string (the scan takes several characters at once).
TEST(TunnelMessages, StreamDataFastPathChecksEveryCharacterOfLongStrings) {
    for (int c = 0; c < 256; ++c) {
        const bool plain = c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
        for (std::size_t at = 0; at < 20; ++at) {
            std::string data(20, 'A');
            data[at] = static_cast<char>(c);
            const std::string frame = R"({"data":")" + data + R"(","id":"s","type":"stream_data"})";
            const auto view = recognizeStreamData(frame);
            ASSERT_EQ(view.has_value(), plain) << c << " at " << at;
            if (view) {
                EXPECT_EQ(view->data, data);
            }
        }
    }
}

// Data frames written without a JSON tree are the very text the JSON writer gives.
TEST(TunnelMessages, DirectlyWrittenDataFramesMatchTheJSONWriter) {
    const std::string payload = std::string("\x00\x01" "binary\xff\xfe payload", 18);
    for (const std::string id : {"t1", "", "s 1/2~", "q\"uote", "back\\slash", "tab\t", "\xc3\xa9", "\xff", "del\x7f"}) {
        SCOPED_TRACE(id);
        const std::string tree = json::encode(json::Json{{"type", "stream_data"}, {"id", id}, {"data", base64Encode(payload)}});
        EXPECT_EQ(encodeStreamData(id, payload), tree);
        // Into a reused buffer, longer or shorter than the frame: the same text.
        for (const std::size_t length : {0u, 5u, 1000u}) {
            std::string reused(length, 'z');
            encodeStreamData(id, payload, reused);
            EXPECT_EQ(reused, tree) << length;
        }
        EXPECT_EQ(encode(TunnelStreamDataMessage{"stream_data", id, base64Encode(payload)}), tree);
        EXPECT_EQ(encodeStreamData(id, ""), json::encode(json::Json{{"type", "stream_data"}, {"id", id}, {"data", ""}}));
    }
    // A message whose data is not Base64 text still goes through the JSON writer.
    const TunnelStreamDataMessage odd{"stream_data", "s", "a\"b\n"};
    EXPECT_EQ(encode(odd), json::encode(json::Json{{"type", "stream_data"}, {"id", "s"}, {"data", "a\"b\n"}}));
    EXPECT_EQ(decodeStreamData(encode(odd)), odd);
}

TEST(TunnelMessages, HeartbeatTimeHasWholeSecondsAndZ) {
    const std::string at = heartbeatTimestampNow();
    ASSERT_EQ(at.size(), 20u);
    EXPECT_EQ(at[10], 'T');
    EXPECT_EQ(at.back(), 'Z');
}

// Whatever its shape, a frame from the edge is decoded in a small multiple of its size (a full
// JSON tree of a deeply nested one took dozens of times its size), and one beyond the
// decoder's limits is refused, which ends the connection.
TEST(TunnelMessages, EveryFrameDecodesInMemoryBoundedByItsSize) {
    constexpr std::size_t n = 4u << 20;  // bytes of each frame's bulk
    const auto repeat = [](std::string_view part, std::size_t times) {
        std::string text;
        text.reserve(part.size() * times);
        for (std::size_t i = 0; i < times; ++i) text += part;
        return text;
    };
    const auto numbered = [](std::string_view prefix, std::string_view value, std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i) text.append(i ? "," : "").append(prefix).append(std::to_string(i)).append(value);
        return text;
    };
    const std::string request = R"({"type":"request","id":"n1","method":"GET","path":"/","body":"","targetPort":80)";
    const std::string noHeaders = R"(,"headers":{})";
    enum class Outcome { request, open, data, end, close, ready, ignored, refused, beyondLimits };
    const std::vector<std::tuple<const char*, std::string, Outcome>> rows = {
        {"nested arrays in an unused member, not closed", R"({"type":"request","id":"n1","a":)" + repeat("[", n),
         Outcome::beyondLimits},
        {"nested arrays in an unused member", R"({"type":"request","id":"n1","a":)" + repeat("[", n / 2) + repeat("]", n / 2) + "}",
         Outcome::beyondLimits},
        {"nested objects of an unknown type", R"({"type":"ping","a":)" + repeat(R"({"a":)", n / 5) + "1" + repeat("}", n / 5) + "}",
         Outcome::beyondLimits},
        {"nested arrays in the header fields", request + R"(,"headers":{"a":)" + repeat("[", n / 2) + repeat("]", n / 2) + "}}",
         Outcome::beyondLimits},
        {"nesting within the limit", request + noHeaders + R"(,"a":)" + repeat("[", 500) + repeat("]", 500) + "}",
         Outcome::request},
        {"a huge string in an unused member", request + noHeaders + R"(,"a":")" + std::string(n, 'x') + R"("})", Outcome::request},
        {"a huge body", R"({"type":"request", "id":"n1","method":"PUT","path":"/","headers":{},"targetPort":80,"body":")" +
                            std::string(n, 'A') + R"("})", Outcome::request},
        {"many unknown members", R"({"type":"stream_open","id":"s","transport":"tcp","targetPort":22,)" +
                                     numbered(R"("m)", R"(":0)", n / 10) + "}", Outcome::open},
        {"one member repeated", R"({"type":"stream_end")" + repeat(R"(,"id":"x")", n / 9) + "}", Outcome::end},
        {"a huge array in a used member", R"({"type":"stream_close","id":[)" + repeat("[],", n / 3) + "[]]}", Outcome::refused},
        {"many numbers in a used member", R"({"type":"stream_close","id":[)" + repeat("0,", n / 2) + "0]}", Outcome::refused},
        {"the most header fields", request + R"(,"x":0,"headers":{)" + numbered(R"("h)", R"(":"")", maxHeaderFields) + "}}",
         Outcome::request},
        {"a header field more, plainly written", request + R"(,"headers":{)" + numbered(R"("h)", R"(":"")", maxHeaderFields + 1) + "}}",
         Outcome::beyondLimits},
        {"a header field more", request + R"(,"x":0,"headers":{)" + numbered(R"("h)", R"(":"")", maxHeaderFields + 1) + "}}",
         Outcome::beyondLimits},
        {"stream data with a padding", R"({"type":"stream_data","id":"s","data":"AAEC","pad":")" + std::string(n, ' ') + R"("})",
         Outcome::data},
        {"a stream close with a reason", R"({"type":"stream_close", "id":"s","error":")" + std::string(n, 'e') + R"("})",
         Outcome::close},
        {"ready with a padding", R"({"type":"ready","pad":[)" + repeat("{},", n / 3) + "{}]}", Outcome::ready},
        {"not JSON", R"({"type":"request","id":"n1","a":")" + std::string(n, 'x'), Outcome::ignored},
    };
    for (const auto& [shape, frame, expected] : rows) {
        SCOPED_TRACE(shape);
        Outcome outcome = Outcome::ignored;
        liveBytes = peakBytes = 0;
        measuring = true;
        try {
            const ReceivedFrame read = classify(frame);
            outcome = std::holds_alternative<TunnelRequestMessage>(read)    ? Outcome::request
                      : std::holds_alternative<TunnelStreamOpenMessage>(read) ? Outcome::open
                      : std::holds_alternative<TunnelStreamDataMessage>(read) ? Outcome::data
                      : std::holds_alternative<StreamEndFrame>(read)          ? Outcome::end
                      : std::holds_alternative<StreamCloseFrame>(read)        ? Outcome::close
                      : std::holds_alternative<ReadyFrame>(read)              ? Outcome::ready
                                                                              : Outcome::ignored;
        } catch (const json::LimitError&) {
            outcome = Outcome::beyondLimits;
        } catch (const json::DecodingError&) {
            outcome = Outcome::refused;
        }
        measuring = false;
        EXPECT_EQ(outcome, expected);
        // The parser keeps two copies of the longest token, each up to twice its size, and the
        // message of a syntax error a third; the header fields take a few hundred bytes each.
        EXPECT_LE(peakBytes, 10 * frame.size() + (4u << 20)) << "frame of " << frame.size() << " bytes";
    }
}
