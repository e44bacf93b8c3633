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

namespace {

// The room header fields take when written plainly, or nullopt when one needs escaping.
std::optional<std::size_t> plainFieldsSize(const HeaderFields& headers) {
    std::size_t size = 0;
    for (const auto& [name, value] : headers) {
        if (!isPlain(name) || !isPlain(value)) return std::nullopt;
        size += name.size() + value.size() + 6;
    }
    return size;
}

// Header fields as the JSON writer spells them (the map's order is the writer's order).
void appendFields(std::string& text, const HeaderFields& headers) {
    text += '{';
    bool first = true;
    for (const auto& [name, value] : headers) {
        if (!first) text += ',';
        first = false;
        text.append(1, '"').append(name).append(R"(":")").append(value).append(1, '"');
    }
    text += '}';
}

}  // namespace

// Requests and answers with plain strings only (the common ones) are written straight, in
// the JSON writer's member order and spelling; anything else goes through the JSON tree.
std::string encode(const TunnelRequestMessage& m) {
    const auto fields = plainFieldsSize(m.headers);
    if (!fields || !isPlain(m.type) || !isPlain(m.id) || !isPlain(m.method) || !isPlain(m.path) || !isPlain(m.body)) {
        return json::encode(Json{{"type", m.type}, {"id", m.id}, {"method", m.method}, {"path", m.path},
                                 {"headers", headersJson(m.headers)}, {"body", m.body}, {"targetPort", m.targetPort}});
    }
    std::string text;
    text.reserve(*fields + m.type.size() + m.id.size() + m.method.size() + m.path.size() + m.body.size() + 112);
    text.append(R"({"body":")").append(m.body).append(R"(","headers":)");
    appendFields(text, m.headers);
    text.append(R"(,"id":")").append(m.id).append(R"(","method":")").append(m.method);
    text.append(R"(","path":")").append(m.path).append(R"(","targetPort":)").append(std::to_string(m.targetPort));
    text.append(R"(,"type":")").append(m.type).append(R"("})");
    return text;
}

std::string encode(const TunnelResponseMessage& m) {
    const auto fields = plainFieldsSize(m.headers);
    if (!fields || !isPlain(m.type) || !isPlain(m.id) || !isPlain(m.body)) {
        return json::encode(Json{{"type", m.type}, {"id", m.id}, {"status", m.status},
                                 {"headers", headersJson(m.headers)}, {"body", m.body}});
    }
    std::string text;
    text.reserve(*fields + m.type.size() + m.id.size() + m.body.size() + 64);
    text.append(R"({"body":")").append(m.body).append(R"(","headers":)");
    appendFields(text, m.headers);
    text.append(R"(,"id":")").append(m.id).append(R"(","status":)").append(std::to_string(m.status));
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

// Every member of the messages the Mac receives.
constexpr std::array<std::string_view, 10> receivedMembers = {"type", "id",      "method",     "path",      "headers",
                                                               "body", "data", "targetPort", "transport", "error"};

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

namespace {

// The members of a received frame in the plain form the JSON writer gives: an object
// without white space whose keys are distinct plain strings and whose values are plain
// strings, whole numbers in JSON's own spelling (at most 18 digits, so they fit) or, for
// "headers", an object of plain strings with distinct keys. Anything else, and any member
// its type does not have, is left to the JSON tree, so whatever is read here is what the
// tree would give.
class PlainFrameReader {
public:
    explicit PlainFrameReader(std::string_view bytes) : bytes_(bytes) {}

    // Reads the whole object; `member(key)` is called at each value and reads it with the
    // functions below, giving false for a key it does not take.
    template <class Member>
    bool readObject(Member member) {
        if (!expect('{')) return false;
        if (expect('}')) return at_ == bytes_.size();
        do {
            const auto key = string();
            if (!key || !expect(':') || !member(*key)) return false;
        } while (expect(','));
        return expect('}') && at_ == bytes_.size();
    }

    // Each reads the value into `slot`, which must still be empty (a repeated key is left
    // to the tree).
    bool string(std::optional<std::string_view>& slot) {
        if (slot) return false;
        slot = string();
        return slot.has_value();
    }
    bool integer(std::optional<std::int64_t>& slot) {
        if (slot) return false;
        const bool negative = expect('-');
        const std::size_t start = at_;
        while (at_ < bytes_.size() && bytes_[at_] >= '0' && bytes_[at_] <= '9') ++at_;
        const std::size_t digits = at_ - start;
        // No leading zero, no "-0", and room in 64 bits.
        if (digits == 0 || digits > 18 || (bytes_[start] == '0' && (digits > 1 || negative))) return false;
        std::int64_t value = 0;
        for (std::size_t i = start; i < at_; ++i) value = value * 10 + (bytes_[i] - '0');
        slot = negative ? -value : value;
        return true;
    }
    bool fields(std::optional<HeaderFields>& slot) {
        if (slot) return false;
        HeaderFields& fields = slot.emplace();
        if (!expect('{')) return false;
        if (expect('}')) return true;
        do {
            const auto name = string();
            if (!name || !expect(':')) return false;
            const auto value = string();
            // Over the limit: the JSON tree refuses it.
            if (!value || !fields.emplace(*name, *value).second || fields.size() > maxHeaderFields) return false;
        } while (expect(','));
        return expect('}');
    }

private:
    bool expect(char c) {
        if (at_ >= bytes_.size() || bytes_[at_] != c) return false;
        ++at_;
        return true;
    }
    std::optional<std::string_view> string() {
        if (!expect('"')) return std::nullopt;
        const std::size_t end = plainStringEnd(bytes_, at_);
        if (end == std::string_view::npos) return std::nullopt;
        const std::string_view text = bytes_.substr(at_, end - at_);
        at_ = end + 1;
        return text;
    }

    std::string_view bytes_;
    std::size_t at_ = 0;
};

// The members of a frame in the plain form; `count` is how many of them there are.
struct PlainMembers {
    std::optional<std::string_view> type, id, method, path, body, transport, error;
    std::optional<std::int64_t> targetPort, status;
    std::optional<HeaderFields> headers;
    int count = 0;
    static std::string text(std::optional<std::string_view> member) { return std::string(*member); }
};

std::optional<PlainMembers> readPlainMembers(std::string_view bytes) {
    PlainMembers m;
    PlainFrameReader reader(bytes);
    const bool read = reader.readObject([&](std::string_view key) {
        ++m.count;
        // By length first: one comparison per member.
        switch (key.size()) {
            case 2: return key == "id" && reader.string(m.id);
            case 4:
                if (key == "type") return reader.string(m.type);
                if (key == "path") return reader.string(m.path);
                return key == "body" && reader.string(m.body);
            case 5: return key == "error" && reader.string(m.error);
            case 6:
                if (key == "method") return reader.string(m.method);
                return key == "status" && reader.integer(m.status);
            case 7: return key == "headers" && reader.fields(m.headers);
            case 9: return key == "transport" && reader.string(m.transport);
            case 10: return key == "targetPort" && reader.integer(m.targetPort);
            default: return false;
        }
    });
    if (!read || !m.type) return std::nullopt;
    return m;
}

// A received frame other than stream data, read in the plain form with exactly the
// members of its type (and its optional ones); nullopt leaves it to the JSON tree.
std::optional<ReceivedFrame> readPlainFrame(std::string_view bytes) {
    auto m = readPlainMembers(bytes);
    if (!m) return std::nullopt;
    const auto& type = m->type;
    const auto& id = m->id;
    constexpr auto str = PlainMembers::text;
    if (*type == "request") {
        if (!id || !m->method || !m->path || !m->headers || !m->body || !m->targetPort || m->count != 7) {
            return std::nullopt;
        }
        return TunnelRequestMessage{str(type),       str(id),   str(m->method), str(m->path), std::move(*m->headers),
                                    str(m->body), *m->targetPort};
    }
    if (*type == "stream_open") {
        const auto transport = m->transport ? transportFromRawValue(*m->transport) : std::nullopt;
        if (!id || !transport || !m->targetPort || m->count != 4) return std::nullopt;
        return TunnelStreamOpenMessage{str(type), str(id), *transport, *m->targetPort};
    }
    if (*type == "stream_end" || *type == "stream_close") {
        if (!id || m->count != 2 + !!m->error) return std::nullopt;
        TunnelStreamControlMessage message{str(type), str(id), m->error ? std::optional(str(m->error)) : std::nullopt};
        if (*type == "stream_end") return StreamEndFrame{std::move(message)};
        return StreamCloseFrame{std::move(message)};
    }
    if (*type == "ready" && m->count == 1) return ReadyFrame{};
    return std::nullopt;
}

}  // namespace

TunnelResponseMessage decodeResponse(std::string_view bytes) {
    if (auto m = readPlainMembers(bytes)) {
        if (m->id && m->status && m->headers && m->body && m->count == 5) {
            constexpr auto str = PlainMembers::text;
            return {str(m->type), str(m->id), *m->status, std::move(*m->headers), str(m->body)};
        }
    }
    const Json o = json::parseObject(bytes);
    return {json::string(o, "type"), json::string(o, "id"), json::int64(o, "status"), headerFields(o, "headers"),
            json::string(o, "body")};
}

std::optional<FrameHead> readFrameHead(std::string_view bytes) {
    if (const auto data = recognizeStreamData(bytes)) return FrameHead{"stream_data", data->id};
    const auto m = readPlainMembers(bytes);
    if (!m) return std::nullopt;
    return FrameHead{*m->type, m->id};
}

ReceivedFrame classify(std::string_view bytes) {
    if (const auto data = recognizeStreamData(bytes)) {
        return TunnelStreamDataMessage{"stream_data", std::string(data->id), std::string(data->data)};
    }
    if (auto frame = readPlainFrame(bytes)) return std::move(*frame);
    // Only the members that received messages have are built: a frame from the edge is decoded
    // in memory bounded by its size, whatever else it carries. A frame beyond the reader's
    // limits (nested too deeply, too many header fields) is refused whatever its type.
    Json object;
    std::string type;
    try {
        object = json::parseKeptMembers(bytes, receivedMembers, {maxFrameNesting, maxHeaderFields});
        type = json::string(object, "type");
    } catch (const json::LimitError&) {
        throw;
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
