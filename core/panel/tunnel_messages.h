#pragma once
// The JSON frames of the edge tunnel. Every WebSocket frame is one JSON object whose
// "type" names the message; byte payloads travel as standard, padded Base64.

#include "host/base64.h"
#include "host/json.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tessaron::tunnel {

// The largest stream payload (decoded) carried by one "stream_data" frame.
inline constexpr std::size_t maxStreamPayload = 262144;

using HeaderFields = std::map<std::string, std::string>;

// The most header fields a received request may carry (a real one has dozens), and the
// deepest nesting of arrays and objects a received frame may have (its own members need
// two levels). A frame beyond either cannot be decoded, whatever its type.
inline constexpr std::size_t maxHeaderFields = 10000;
inline constexpr std::size_t maxFrameNesting = 512;

enum class TunnelTransport { tcp, udp };
std::optional<TunnelTransport> transportFromRawValue(std::string_view raw);
std::string rawValue(TunnelTransport transport);

struct TunnelMessageKind {
    std::string type;
};

struct TunnelRequestMessage {
    std::string type;
    std::string id;
    std::string method;
    std::string path;
    HeaderFields headers;
    std::string body;  // Base64
    std::int64_t targetPort = 0;
    bool operator==(const TunnelRequestMessage&) const = default;
};

struct TunnelResponseMessage {
    std::string type;
    std::string id;
    std::int64_t status = 0;
    HeaderFields headers;
    std::string body;  // Base64
    bool operator==(const TunnelResponseMessage&) const = default;
};

struct TunnelHeartbeatMessage {
    std::string type;
    std::string at;
    bool operator==(const TunnelHeartbeatMessage&) const = default;
};

struct TunnelStreamOpenMessage {
    std::string type;
    std::string id;
    TunnelTransport transport = TunnelTransport::tcp;
    std::int64_t targetPort = 0;
    bool operator==(const TunnelStreamOpenMessage&) const = default;
};

struct TunnelStreamDataMessage {
    std::string type;
    std::string id;
    std::string data;  // Base64
    bool operator==(const TunnelStreamDataMessage&) const = default;
};

struct TunnelStreamControlMessage {
    std::string type;
    std::string id;
    std::optional<std::string> error;
    bool operator==(const TunnelStreamControlMessage&) const = default;
};

// Encoding: one compact JSON object (an absent `error` is left out, never null).
std::string encode(const TunnelRequestMessage& message);
std::string encode(const TunnelResponseMessage& message);
std::string encode(const TunnelHeartbeatMessage& message);
std::string encode(const TunnelStreamOpenMessage& message);
std::string encode(const TunnelStreamDataMessage& message);
std::string encode(const TunnelStreamControlMessage& message);

// The "stream_data" frame carrying `payload` (raw bytes): the same text as
// encode(TunnelStreamDataMessage{"stream_data", id, base64Encode(payload)}), written
// straight into one buffer instead of through a JSON tree and an extra Base64 string.
std::string encodeStreamData(std::string_view id, std::string_view payload);
// The same written into `out`, whose capacity (and length, so nothing is cleared first)
// is reused.
void encodeStreamData(std::string_view id, std::string_view payload, std::string& out);

// Decoding of one full message; a missing, null or mistyped member throws json::DecodingError.
// These build the whole JSON tree, so they are for text this side trusts (the relay's own
// reading of answers, tests); frames received from the edge go through classify().
TunnelMessageKind decodeKind(std::string_view bytes);
TunnelRequestMessage decodeRequest(std::string_view bytes);
TunnelResponseMessage decodeResponse(std::string_view bytes);
TunnelHeartbeatMessage decodeHeartbeat(std::string_view bytes);
TunnelStreamOpenMessage decodeStreamOpen(std::string_view bytes);
TunnelStreamDataMessage decodeStreamData(std::string_view bytes);
TunnelStreamControlMessage decodeStreamControl(std::string_view bytes);

// A frame the Mac receives, classified: frames that are not JSON objects with a string
// "type", and unknown types, are Ignored; a known type whose body does not decode
// throws json::DecodingError (which ends the connection), and so does a frame beyond
// maxFrameNesting or maxHeaderFields (json::LimitError). Decoding costs a small multiple
// of the frame's size, whatever its shape.
struct ReadyFrame {};
struct IgnoredFrame {};
struct StreamEndFrame { TunnelStreamControlMessage message; };
struct StreamCloseFrame { TunnelStreamControlMessage message; };
using ReceivedFrame = std::variant<IgnoredFrame, ReadyFrame, TunnelStreamOpenMessage, TunnelStreamDataMessage,
                                   StreamEndFrame, StreamCloseFrame, TunnelRequestMessage>;
ReceivedFrame classify(std::string_view bytes);

// A "stream_data" frame in the plain form the encoders write: exactly the three string
// members "data", "id" and "type" (in any order), no white space, and only printable
// ASCII without escapes in the strings. Gives views into `bytes`; nullopt means only
// "not in that form": such a frame is left to classify(), which reads any form. Whatever
// this accepts, classify() decodes to the same id and data.
struct StreamDataView {
    std::string_view id;
    std::string_view data;  // Base64, not yet checked
};
std::optional<StreamDataView> recognizeStreamData(std::string_view bytes);

// The same reading with the data decoded in the same pass into `payload` (room for
// streamDataBufferSize bytes): the bytes are payload[0, size) when `valid`; not valid
// means the data is not strict Base64 or decodes to more than maxStreamPayload bytes,
// as classify() followed by base64Decode() would find.
inline constexpr std::size_t streamDataBufferSize = base64EncodedSize(maxStreamPayload) / 4 * 3 + 8;
struct DecodedStreamData {
    std::string_view id;
    std::size_t size = 0;
    bool valid = false;
};
std::optional<DecodedStreamData> readStreamData(std::string_view bytes, char* payload);

// The "type" and "id" (nullopt when absent) of a frame in the plain form the encoders write,
// read without a JSON tree, as views into `bytes`; nullopt means only "not in that form (or
// with members no frame of this tunnel has)": such a frame needs the full decoder.
struct FrameHead {
    std::string_view type;
    std::optional<std::string_view> id;
};
std::optional<FrameHead> readFrameHead(std::string_view bytes);

// "2026-01-31T09:15:00Z" for the current time.
std::string heartbeatTimestampNow();

}  // namespace tessaron::tunnel
