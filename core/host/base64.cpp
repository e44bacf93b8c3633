#include "host/base64.h"

#include <array>
#include <cstdint>

namespace tessaron {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each Base64 character, -1 for every other byte ('=' included).
constexpr std::array<std::int8_t, 256> sextets = [] {
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}();

}  // namespace

void base64EncodeTo(std::string_view bytes, char* out) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t whole = bytes.size() / 3 * 3;
    for (std::size_t i = 0; i < whole; i += 3) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        out[0] = alphabet[v >> 18];
        out[1] = alphabet[(v >> 12) & 63];
        out[2] = alphabet[(v >> 6) & 63];
        out[3] = alphabet[v & 63];
        out += 4;
    }
    const std::size_t rest = bytes.size() - whole;
    if (rest == 0) return;
    const std::uint32_t v = (std::uint32_t{in[whole]} << 16) | (rest == 2 ? std::uint32_t{in[whole + 1]} << 8 : 0);
    out[0] = alphabet[v >> 18];
    out[1] = alphabet[(v >> 12) & 63];
    out[2] = rest == 2 ? alphabet[(v >> 6) & 63] : '=';
    out[3] = '=';
}

std::string base64Encode(std::string_view bytes) {
    std::string out(base64EncodedSize(bytes.size()), '\0');
    base64EncodeTo(bytes, out.data());
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return std::string();
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    std::string out(text.size() / 4 * 3, '\0');
    char* o = out.data();
    // Every group but the last holds four alphabet characters ('=' is only valid at the end).
    const std::size_t last = text.size() - 4;
    for (std::size_t i = 0; i < last; i += 4) {
        const int a = sextets[in[i]], b = sextets[in[i + 1]], c = sextets[in[i + 2]], d = sextets[in[i + 3]];
        if ((a | b | c | d) < 0) return std::nullopt;
        const std::uint32_t v = (std::uint32_t(a) << 18) | (std::uint32_t(b) << 12) | (std::uint32_t(c) << 6) | std::uint32_t(d);
        o[0] = static_cast<char>(v >> 16);
        o[1] = static_cast<char>((v >> 8) & 0xff);
        o[2] = static_cast<char>(v & 0xff);
        o += 3;
    }
    // The last group: "xx==", "xxx=" or "xxxx"; the bits below the last byte must be zero
    // (only the canonical encoding is accepted).
    const int a = sextets[in[last]], b = sextets[in[last + 1]];
    if ((a | b) < 0) return std::nullopt;
    if (in[last + 2] == '=') {
        if (in[last + 3] != '=' || (b & 0x0f) != 0) return std::nullopt;
        *o++ = static_cast<char>((a << 2) | (b >> 4));
    } else {
        const int c = sextets[in[last + 2]];
        if (c < 0) return std::nullopt;
        if (in[last + 3] == '=') {
            if ((c & 0x03) != 0) return std::nullopt;
            *o++ = static_cast<char>((a << 2) | (b >> 4));
            *o++ = static_cast<char>(((b & 0x0f) << 4) | (c >> 2));
        } else {
            const int d = sextets[in[last + 3]];
            if (d < 0) return std::nullopt;
            *o++ = static_cast<char>((a << 2) | (b >> 4));
            *o++ = static_cast<char>(((b & 0x0f) << 4) | (c >> 2));
            *o++ = static_cast<char>(((c & 0x03) << 6) | d);
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

}  // namespace tessaron
