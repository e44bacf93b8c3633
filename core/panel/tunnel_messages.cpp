#include "panel/tunnel_messages.h"

#include "host/base64.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
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


std::string encode(const TunnelHeartbeatMessage& m) { return json::encode(Json{{"type", m.type}, {"at", m.at}}); }

std::string encode(const TunnelStreamOpenMessage& m) {
    return json::encode(Json{{"type", m.type}, {"id", m.id}, {"transport", rawValue(m.transport)},
                             {"targetPort", m.targetPort}});
}

namespace {

// Characters that a JSON string holds as themselves: printable ASCII except the quote and the backslash.
// The JSON writer copies a string made only of these unchanged between the quotes, and
// the parser reads such a string back unchanged.
constexpr std::array<bool, 256> plainTable = [] {
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 0x7f; ++c) table[c] = c != '"' && c != '\\';
    return table;
}();

bool isPlain(std::string_view text) {
    for (const char c : text) {
        if (!plainTable[static_cast<unsigned char>(c)]) return false;
    }
    return true;
}

// The members in the writer's order (sorted keys), around the Base64 data.
constexpr std::string_view dataHead = R"({"data":")";
constexpr std::string_view dataMiddle = R"(","id":")";
constexpr std::string_view dataTailBeforeType = R"(","type":")";
constexpr std::string_view dataEnd = R"("})";

}  // namespace

std::string encode(const TunnelResponseMessage& m) {
    // The common answer (plain strings only) is written straight, in the JSON writer's
    // member order and spelling; anything else goes through the JSON tree.
    bool plain = isPlain(m.type) && isPlain(m.id) && isPlain(m.body);
    std::size_t size = m.type.size() + m.id.size() + m.body.size() + 64;
    for (const auto& [name, value] : m.headers) {
        plain = plain && isPlain(name) && isPlain(value);
        size += name.size() + value.size() + 6;
    }
    if (!plain) {
        return json::encode(Json{{"type", m.type}, {"id", m.id}, {"status", m.status},
                                 {"headers", headersJson(m.headers)}, {"body", m.body}});
    }
    std::string text;
    text.reserve(size);
    text.append(R"({"body":")").append(m.body).append(R"(","headers":{)");
    bool first = true;
    for (const auto& [name, value] : m.headers) {
        if (!first) text += ',';
        first = false;
        text.append(1, '"').append(name).append(R"(":")").append(value).append(1, '"');
    }
    text.append(R"(},"id":")").append(m.id).append(R"(","status":)").append(std::to_string(m.status));
    text.append(R"(,"type":")").append(m.type).append(R"("})");
    return text;
}

std::string encode(const TunnelStreamDataMessage& m) {
    if (!isPlain(m.type) || !isPlain(m.id) || !isPlain(m.data)) {
        return json::encode(Json{{"type", m.type}, {"id", m.id}, {"data", m.data}});
    }
    std::string text;
    text.reserve(dataHead.size() + m.data.size() + dataMiddle.size() + m.id.size() + dataTailBeforeType.size() +
                 m.type.size() + dataEnd.size());
    text.append(dataHead).append(m.data).append(dataMiddle).append(m.id);
    text.append(dataTailBeforeType).append(m.type).append(dataEnd);
    return text;
}

std::string encodeStreamData(std::string_view id, std::string_view payload) {
    std::string text;
    encodeStreamData(id, payload, text);
    return text;
}

void encodeStreamData(std::string_view id, std::string_view payload, std::string& text) {
    constexpr std::string_view type = "stream_data";
    if (!isPlain(id)) {
        text = encode(TunnelStreamDataMessage{std::string(type), std::string(id), base64Encode(payload)});
        return;
    }
    const std::size_t encoded = base64EncodedSize(payload.size());
    text.resize(dataHead.size() + encoded + dataMiddle.size() + id.size() + dataTailBeforeType.size() + type.size() +
                dataEnd.size());
    char* out = text.data();
    auto put = [&out](std::string_view part) {
        std::memcpy(out, part.data(), part.size());
        out += part.size();
    };
    put(dataHead);
    base64EncodeTo(payload, out);
    out += encoded;
    put(dataMiddle);
    put(id);
    put(dataTailBeforeType);
    put(type);
    put(dataEnd);
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

namespace {

// The index of the closing quote of a plain string whose first character is at `from`,
// or npos when the string is not plain or not closed.
std::size_t plainStringEnd(std::string_view text, std::size_t from) {
    std::size_t at = from;
    // Eight characters at a time while none of them is special: a control character,
    // DEL, a byte above 0x7f, the quote or the backslash. The word tests below are exact
    // ("some byte is zero" / "some byte is below n"), so nothing special is skipped.
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    auto hasZeroByte = [](std::uint64_t v) { return ((v - ones) & ~v & highs) != 0; };
    while (at + 8 <= text.size()) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + at, 8);
        const bool special = ((word - ones * 0x20) & ~word & highs) != 0 || (word & highs) != 0 ||
                             hasZeroByte(word ^ (ones * 0x7f)) || hasZeroByte(word ^ (ones * '"')) ||
                             hasZeroByte(word ^ (ones * '\\'));
        if (special) break;
        at += 8;
    }
    while (at < text.size() && plainTable[static_cast<unsigned char>(text[at])]) ++at;
    return at < text.size() && text[at] == '"' ? at : std::string_view::npos;
}

}  // namespace

namespace {

// Reads a "stream_data" frame in the plain form: three members "data", "id" and "type" in
// any order. `readData(from)` reads the data value whose first character is at `from` and
// gives the index of its closing quote (npos when it is not a plain string).
template <class ReadData>
std::optional<std::string_view> readPlainStreamData(std::string_view bytes, ReadData readData) {
    if (bytes.size() < 2 || bytes.front() != '{' || bytes.back() != '}') return std::nullopt;
    std::optional<std::string_view> id, type;
    bool data = false;
    std::size_t at = 1;
    for (int member = 0; member < 3; ++member) {
        if (member > 0) {
            if (at >= bytes.size() || bytes[at] != ',') return std::nullopt;
            ++at;
        }
        if (at >= bytes.size() || bytes[at] != '"') return std::nullopt;
        const std::size_t keyEnd = plainStringEnd(bytes, at + 1);
        if (keyEnd == std::string_view::npos) return std::nullopt;
        const std::string_view key = bytes.substr(at + 1, keyEnd - at - 1);
        at = keyEnd + 1;
        if (at + 1 >= bytes.size() || bytes[at] != ':' || bytes[at + 1] != '"') return std::nullopt;
        std::size_t valueEnd;
        if (key == "data") {
            // Other members and repeated ones are left to the full decoder.
            if (data) return std::nullopt;
            data = true;
            valueEnd = readData(at + 2);
        } else {
            std::optional<std::string_view>* slot = key == "id" ? &id : key == "type" ? &type : nullptr;
            if (slot == nullptr || slot->has_value()) return std::nullopt;
            valueEnd = plainStringEnd(bytes, at + 2);
            if (valueEnd != std::string_view::npos) *slot = bytes.substr(at + 2, valueEnd - at - 2);
        }
        if (valueEnd == std::string_view::npos) return std::nullopt;
        at = valueEnd + 1;
    }
    if (at != bytes.size() - 1 || *type != "stream_data") return std::nullopt;
    return id;
}

}  // namespace

std::optional<StreamDataView> recognizeStreamData(std::string_view bytes) {
    std::string_view data;
    const auto id = readPlainStreamData(bytes, [&](std::size_t from) {
        const std::size_t end = plainStringEnd(bytes, from);
        if (end != std::string_view::npos) data = bytes.substr(from, end - from);
        return end;
    });
    if (!id) return std::nullopt;
    return StreamDataView{*id, data};
}

std::optional<DecodedStreamData> readStreamData(std::string_view bytes, char* payload) {
    DecodedStreamData result;
    const auto id = readPlainStreamData(bytes, [&](std::size_t from) {
        // Decoded while it is scanned; at most one group more than the largest payload.
        const std::size_t limit = base64EncodedSize(maxStreamPayload) + 4;
        const std::size_t decoded = base64DecodeGroups(bytes.substr(from, std::min(bytes.size() - from, limit)), payload);
        std::size_t size = decoded / 4 * 3;
        const std::size_t at = from + decoded;
        if (at < bytes.size() && bytes[at] == '"') {
            result.size = size;
            result.valid = size <= maxStreamPayload;
            return at;
        }
        if (at + 4 < bytes.size() && bytes[at + 4] == '"') {
            if (const auto last = base64DecodeFinalGroup(bytes.substr(at, 4), payload + size)) {
                size += *last;
                result.size = size;
                result.valid = size <= maxStreamPayload;
                return at + 4;
            }
        }
        // Not Base64, or too long: the frame still counts if the string is plain.
        result.size = 0;
        result.valid = false;
        return plainStringEnd(bytes, at);
    });
    if (!id) return std::nullopt;
    result.id = *id;
    return result;
}

ReceivedFrame classify(std::string_view bytes) {
    if (const auto data = recognizeStreamData(bytes)) {
        return TunnelStreamDataMessage{"stream_data", std::string(data->id), std::string(data->data)};
    }
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

std::string heartbeatTimestampNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

}  // namespace tessaron::tunnel
