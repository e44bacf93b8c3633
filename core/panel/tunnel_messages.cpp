#include "panel/tunnel_messages.h"

#include <array>
#include <ctime>

namespace tessaron::tunnel {

using json::Json;

std::optional<TunnelTransport> transportFromRawValue(std::string_view raw) {
    if (raw == "tcp") return TunnelTransport::tcp;
    if (raw == "udp") return TunnelTransport::udp;
    return std::nullopt;
}

std::string rawValue(TunnelTransport transport) { return transport == TunnelTransport::tcp ? "tcp" : "udp"; }

namespace {

Json headersJson(const HeaderFields& headers) {
    Json object = Json::object();
    for (const auto& [name, value] : headers) object[name] = value;
    return object;
}

HeaderFields headerFields(const Json& object, std::string_view key) {
    const Json& value = json::object(object, key);
    HeaderFields headers;
    for (auto it = value.begin(); it != value.end(); ++it) {
        headers[it.key()] = json::asString(it.value(), std::string(key) + "." + it.key());
    }
    return headers;
}

}  // namespace

std::string encode(const TunnelRequestMessage& m) {
    return json::encode(Json{{"type", m.type}, {"id", m.id}, {"method", m.method}, {"path", m.path},
                             {"headers", headersJson(m.headers)}, {"body", m.body}, {"targetPort", m.targetPort}});
}

std::string encode(const TunnelResponseMessage& m) {
    return json::encode(Json{{"type", m.type}, {"id", m.id}, {"status", m.status},
                             {"headers", headersJson(m.headers)}, {"body", m.body}});
}

std::string encode(const TunnelHeartbeatMessage& m) { return json::encode(Json{{"type", m.type}, {"at", m.at}}); }

std::string encode(const TunnelStreamOpenMessage& m) {
    return json::encode(Json{{"type", m.type}, {"id", m.id}, {"transport", rawValue(m.transport)},
                             {"targetPort", m.targetPort}});
}

std::string encode(const TunnelStreamDataMessage& m) {
    return json::encode(Json{{"type", m.type}, {"id", m.id}, {"data", m.data}});
}

std::string encode(const TunnelStreamControlMessage& m) {
    Json object{{"type", m.type}, {"id", m.id}};
    if (m.error) object["error"] = *m.error;
    return json::encode(object);
}

namespace {

// Each message from an already parsed object, so that a received frame is parsed once.
TunnelRequestMessage requestFrom(const Json& o) {
    return {json::string(o, "type"), json::string(o, "id"),   json::string(o, "method"), json::string(o, "path"),
            headerFields(o, "headers"), json::string(o, "body"), json::int64(o, "targetPort")};
}

TunnelStreamOpenMessage streamOpenFrom(const Json& o) {
    const std::string raw = json::string(o, "transport");
    const auto transport = transportFromRawValue(raw);
    if (!transport) throw json::DecodingError("The value of \"transport\" is not a known transport: " + raw);
    return {json::string(o, "type"), json::string(o, "id"), *transport, json::int64(o, "targetPort")};
}

TunnelStreamDataMessage streamDataFrom(const Json& o) {
    return {json::string(o, "type"), json::string(o, "id"), json::string(o, "data")};
}

TunnelStreamControlMessage streamControlFrom(const Json& o) {
    return {json::string(o, "type"), json::string(o, "id"), json::optionalString(o, "error")};
}

}  // namespace

TunnelMessageKind decodeKind(std::string_view bytes) {
    const Json object = json::parseObject(bytes);
    return {json::string(object, "type")};
}

TunnelRequestMessage decodeRequest(std::string_view bytes) { return requestFrom(json::parseObject(bytes)); }

TunnelResponseMessage decodeResponse(std::string_view bytes) {
    const Json o = json::parseObject(bytes);
    return {json::string(o, "type"), json::string(o, "id"), json::int64(o, "status"), headerFields(o, "headers"),
            json::string(o, "body")};
}

TunnelHeartbeatMessage decodeHeartbeat(std::string_view bytes) {
    const Json o = json::parseObject(bytes);
    return {json::string(o, "type"), json::string(o, "at")};
}

TunnelStreamOpenMessage decodeStreamOpen(std::string_view bytes) { return streamOpenFrom(json::parseObject(bytes)); }

TunnelStreamDataMessage decodeStreamData(std::string_view bytes) { return streamDataFrom(json::parseObject(bytes)); }

TunnelStreamControlMessage decodeStreamControl(std::string_view bytes) {
    return streamControlFrom(json::parseObject(bytes));
}

ReceivedFrame classify(std::string_view bytes) {
    Json object;
    std::string type;
    try {
        object = json::parseObject(bytes);
        type = json::string(object, "type");
    } catch (const json::DecodingError&) {
        return IgnoredFrame{};
    }
    if (type == "ready") return ReadyFrame{};
    if (type == "stream_open") return streamOpenFrom(object);
    if (type == "stream_data") return streamDataFrom(object);
    if (type == "stream_end") return StreamEndFrame{streamControlFrom(object)};
    if (type == "stream_close") return StreamCloseFrame{streamControlFrom(object)};
    if (type == "request") return requestFrom(object);
    return IgnoredFrame{};
}

namespace {
constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    std::size_t length = 0;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::array<int, 4> s{};
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                ++padding;
                s[k] = 0;
                continue;
            }
            if (padding > 0) return std::nullopt;  // data after padding
            s[k] = sextet(c);
            if (s[k] < 0) return std::nullopt;
        }
        if (padding == 1 && text[i + 3] != '=') return std::nullopt;
        const unsigned v = (s[0] << 18) | (s[1] << 12) | (s[2] << 6) | s[3];
        out[length++] = static_cast<char>((v >> 16) & 0xff);
        if (padding < 2) out[length++] = static_cast<char>((v >> 8) & 0xff);
        if (padding < 1) out[length++] = static_cast<char>(v & 0xff);
        // Bits below the last byte must be zero (canonical encoding).
        if (padding == 2 && (s[1] & 0x0f) != 0) return std::nullopt;
        if (padding == 1 && (s[2] & 0x03) != 0) return std::nullopt;
    }
    out.resize(length);
    return out;
}

std::string heartbeatTimestampNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

}  // namespace tessaron::tunnel
