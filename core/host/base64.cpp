#include "host/base64.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tessaron {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit value: one look-up per 12 bits instead of per 6.
constexpr std::array<std::array<char, 2>, 4096> pairs = [] {
    std::array<std::array<char, 2>, 4096> table{};
    for (int i = 0; i < 4096; ++i) table[i] = {alphabet[i >> 6], alphabet[i & 63]};
    return table;
}();

// A character's value already shifted to its place in a group of four, one table per
// place; every byte outside the alphabet ('=' included) sets the top bit, which no valid
// group sets, so one test checks all four characters.
constexpr std::uint32_t invalid = 0x80000000u;
constexpr std::array<std::array<std::uint32_t, 256>, 4> placed = [] {
    std::array<std::array<std::uint32_t, 256>, 4> tables{};
    for (auto& table : tables) table.fill(invalid);
    for (std::uint32_t i = 0; i < 64; ++i) {
        const auto c = static_cast<unsigned char>(alphabet[i]);
        tables[0][c] = i << 18;
        tables[1][c] = i << 12;
        tables[2][c] = i << 6;
        tables[3][c] = i;
    }
    return tables;
}();

inline std::uint32_t group(const unsigned char* in) {
    return placed[0][in[0]] | placed[1][in[1]] | placed[2][in[2]] | placed[3][in[3]];
}

inline void put3(char* out, std::uint32_t v) {
    out[0] = static_cast<char>(v >> 16);
    out[1] = static_cast<char>(v >> 8);
    out[2] = static_cast<char>(v);
}

// Eight bytes in their order in memory, the first one in the top bits.
inline std::uint64_t loadBigEndian64(const unsigned char* in) {
    std::uint64_t word;
    std::memcpy(&word, in, 8);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
}

// The four characters of a 12-bit pair, as they lie in memory, for a 16-bit store.
constexpr std::array<std::uint16_t, 4096> pairWords = [] {
    std::array<std::uint16_t, 4096> table{};
    for (int i = 0; i < 4096; ++i) {
        const auto first = static_cast<std::uint16_t>(static_cast<unsigned char>(alphabet[i >> 6]));
        const auto second = static_cast<std::uint16_t>(static_cast<unsigned char>(alphabet[i & 63]));
        table[i] = std::endian::native == std::endian::little ? static_cast<std::uint16_t>(first | second << 8)
                                                              : static_cast<std::uint16_t>(first << 8 | second);
    }
    return table;
}();

constexpr bool fastWords = std::endian::native == std::endian::little || std::endian::native == std::endian::big;

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TESSARON_BASE64_SSSE3 1

// The byte tables of the vector steps, one 16-byte lane each; the AVX2 steps use each in
// both of their lanes.
// Encoding: each 32-bit lane takes bytes 1 0 2 1 of its three ...
alignas(16) constexpr char encodeOrder[16] = {1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10};
// ... and each 6-bit value is moved to its character by an offset chosen by its range: 0-25
// from 'A', 26-51 from 'a', 52-61 from '0', 62 '+', 63 '/'.
alignas(16) constexpr char encodeOffsets[16] = {'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                                '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62,
                                                '/' - 63, 'A',      0,        0};
// Decoding: a character is in the alphabet when the flags of its low and its high half share no bit ...
alignas(16) constexpr char decodeLowFlags[16] = {0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                                 0x11, 0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a};
alignas(16) constexpr char decodeHighFlags[16] = {0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                                  0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10};
// ... its value is the character plus a shift chosen by its high half ('/' by the slot before) ...
alignas(16) constexpr char decodeShifts[16] = {0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0};
// ... and the three bytes of each 32-bit lane go out in order.
alignas(16) constexpr char decodeLaneBytes[16] = {2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1};

inline __m128i lane(const char (&table)[16]) { return _mm_load_si128(reinterpret_cast<const __m128i*>(table)); }

// Sixteen characters at a time with SSSE3 byte shuffles, on processors that have them (the
// program is built for the x86-64 baseline, which does not). Each gives how far it got;
// the rest goes on a few bytes at a time.
bool haveSSSE3() {
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}

// Twelve bytes to sixteen characters per step (a load of sixteen bytes, so while sixteen remain).
__attribute__((target("ssse3"))) std::size_t encodeBlocks(const unsigned char* in, std::size_t size, char* out) {
    std::size_t i = 0;
    for (; i + 16 <= size; i += 12, out += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        // The four 6-bit values of each 32-bit lane each into its own byte, in output order.
        v = _mm_shuffle_epi8(v, lane(encodeOrder));
        const __m128i high =
            _mm_mulhi_epu16(_mm_and_si128(v, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
        const __m128i low =
            _mm_mullo_epi16(_mm_and_si128(v, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
        const __m128i indices = _mm_or_si128(high, low);
        __m128i range = _mm_subs_epu8(indices, _mm_set1_epi8(51));
        const __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), indices);
        range = _mm_or_si128(range, _mm_and_si128(upper, _mm_set1_epi8(13)));
        const __m128i chars = _mm_add_epi8(_mm_shuffle_epi8(lane(encodeOffsets), range), indices);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chars);
    }
    return i;
}

// Sixteen characters to twelve bytes per step while all sixteen are in the alphabet ('='
// is not), each step's store of sixteen bytes within the `room` bytes that `out` has.
__attribute__((target("ssse3"))) std::size_t decodeBlocks(const unsigned char* in, std::size_t size, char* out,
                                                           std::size_t room) {
    const __m128i nibble = _mm_set1_epi8(0x0f);
    const __m128i lowFlags = lane(decodeLowFlags), highFlags = lane(decodeHighFlags), shifts = lane(decodeShifts);
    std::size_t i = 0;
    for (std::size_t o = 0; i + 16 <= size && o + 16 <= room; i += 16, o += 12) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i high = _mm_and_si128(_mm_srli_epi32(v, 4), nibble);
        const __m128i low = _mm_and_si128(v, nibble);
        const __m128i clash = _mm_and_si128(_mm_shuffle_epi8(lowFlags, low), _mm_shuffle_epi8(highFlags, high));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(clash, _mm_setzero_si128())) != 0xffff) break;
        const __m128i slash = _mm_cmpeq_epi8(v, _mm_set1_epi8(0x2f));
        const __m128i values = _mm_add_epi8(v, _mm_shuffle_epi8(shifts, _mm_add_epi8(slash, high)));
        // Pairs of values to 12 bits, pairs of those to 24 bits per lane.
        const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
        const __m128i lanes = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
        const __m128i bytes = _mm_shuffle_epi8(lanes, lane(decodeLaneBytes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), bytes);
    }
    return i;
}

// The same steps on two lanes at once with AVX2: thirty-two characters per step.
bool haveAVX2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}

__attribute__((target("avx2"))) inline __m256i bothLanes(const char (&table)[16]) {
    return _mm256_broadcastsi128_si256(lane(table));
}

// Twenty-four bytes to thirty-two characters per step, each lane taking twelve bytes from
// a load of sixteen (so while twenty-eight remain).
__attribute__((target("avx2"))) std::size_t encodeBlocksAVX2(const unsigned char* in, std::size_t size, char* out) {
    const __m256i order = bothLanes(encodeOrder), offsets = bothLanes(encodeOffsets);
    std::size_t i = 0;
    for (; i + 28 <= size; i += 24, out += 32) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 12));
        __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
        v = _mm256_shuffle_epi8(v, order);
        const __m256i high =
            _mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi32(0x0fc0fc00)), _mm256_set1_epi32(0x04000040));
        const __m256i low =
            _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(0x003f03f0)), _mm256_set1_epi32(0x01000010));
        const __m256i indices = _mm256_or_si256(high, low);
        __m256i range = _mm256_subs_epu8(indices, _mm256_set1_epi8(51));
        const __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), indices);
        range = _mm256_or_si256(range, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
        const __m256i chars = _mm256_add_epi8(_mm256_shuffle_epi8(offsets, range), indices);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
    }
    return i;
}

// Thirty-two characters to twenty-four bytes per step while all are in the alphabet, each
// step's store of thirty-two bytes within `room`.
__attribute__((target("avx2"))) std::size_t decodeBlocksAVX2(const unsigned char* in, std::size_t size, char* out,
                                                              std::size_t room) {
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    const __m256i lowFlags = bothLanes(decodeLowFlags), highFlags = bothLanes(decodeHighFlags),
                  shifts = bothLanes(decodeShifts), laneBytes = bothLanes(decodeLaneBytes);
    // The twelve bytes of the second lane moved up against those of the first.
    const __m256i packed = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    std::size_t i = 0;
    for (std::size_t o = 0; i + 32 <= size && o + 32 <= room; i += 32, o += 24) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(v, 4), nibble);
        const __m256i low = _mm256_and_si256(v, nibble);
        const __m256i clash =
            _mm256_and_si256(_mm256_shuffle_epi8(lowFlags, low), _mm256_shuffle_epi8(highFlags, high));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(clash, _mm256_setzero_si256())) != -1) break;
        const __m256i slash = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x2f));
        const __m256i values = _mm256_add_epi8(v, _mm256_shuffle_epi8(shifts, _mm256_add_epi8(slash, high)));
        const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
        const __m256i lanes = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(lanes, laneBytes), packed);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), bytes);
    }
    return i;
}
#endif

}  // namespace

void base64EncodeTo(std::string_view bytes, char* out) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t whole = bytes.size() / 3 * 3;
    std::size_t i = 0;
#ifdef TESSARON_BASE64_SSSE3
    if (haveAVX2()) {
        i = encodeBlocksAVX2(in, bytes.size(), out);
        out += i / 3 * 4;
    }
    if (haveSSSE3()) {
        const std::size_t done = encodeBlocks(in + i, bytes.size() - i, out);
        i += done;
        out += done / 3 * 4;
    }
#endif
    if constexpr (fastWords) {
        // Six bytes to eight characters per step, read in one load (of eight bytes, so while
        // eight remain) and written in one store.
        for (; i + 8 <= whole; i += 6) {
            const std::uint64_t v = loadBigEndian64(in + i);
            const std::uint64_t a = pairWords[(v >> 52) & 0xfff], b = pairWords[(v >> 40) & 0xfff],
                                c = pairWords[(v >> 28) & 0xfff], d = pairWords[(v >> 16) & 0xfff];
            const std::uint64_t chars = std::endian::native == std::endian::little
                                            ? a | b << 16 | c << 32 | d << 48
                                            : a << 48 | b << 32 | c << 16 | d;
            std::memcpy(out, &chars, 8);
            out += 8;
        }
    }
    for (; i < whole; i += 3) {
        const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        std::memcpy(out, pairs[v >> 12].data(), 2);
        std::memcpy(out + 2, pairs[v & 0xfff].data(), 2);
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

std::size_t base64DecodeGroups(std::string_view text, char* out) {
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t whole = text.size() / 4 * 4;
    std::size_t i = 0;
#ifdef TESSARON_BASE64_SSSE3
    if (haveAVX2()) {
        i = decodeBlocksAVX2(in, whole, out, whole / 4 * 3);
        out += i / 4 * 3;
    }
    if (haveSSSE3()) {
        const std::size_t done = decodeBlocks(in + i, whole - i, out, (whole - i) / 4 * 3);
        i += done;
        out += done / 4 * 3;
    }
#endif
    if constexpr (fastWords) {
        // Two groups per step while both are valid, their six bytes written in one store of
        // eight while at least one more group follows (its room takes the two spare bytes,
        // which it then overwrites or, when it is not valid, which nobody reads).
        for (; i + 12 <= whole; i += 8) {
            const std::uint32_t a = group(in + i), b = group(in + i + 4);
            if ((a | b) & invalid) break;
            std::uint64_t bytes = std::uint64_t{a} << 40 | std::uint64_t{b} << 16;
            if constexpr (std::endian::native == std::endian::little) bytes = __builtin_bswap64(bytes);
            std::memcpy(out, &bytes, 8);
            out += 6;
        }
    }
    // Two groups per step while both are valid.
    for (; i + 8 <= whole; i += 8) {
        const std::uint32_t a = group(in + i), b = group(in + i + 4);
        if ((a | b) & invalid) break;
        put3(out, a);
        put3(out + 3, b);
        out += 6;
    }
    for (; i < whole; i += 4) {
        const std::uint32_t a = group(in + i);
        if (a & invalid) break;
        put3(out, a);
        out += 3;
    }
    return i;
}

std::optional<std::size_t> base64DecodeFinalGroup(std::string_view text, char* out) {
    if (text.size() != 4) return std::nullopt;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    if (in[3] != '=') {
        const std::uint32_t v = group(in);
        if (v & invalid) return std::nullopt;
        put3(out, v);
        return 3;
    }
    const bool two = in[2] == '=';
    const unsigned char third = two ? 'A' : in[2];
    const std::uint32_t v = placed[0][in[0]] | placed[1][in[1]] | placed[2][third];
    // The spare bits below the last byte must be zero: only the canonical text decodes.
    if ((v & invalid) || (v & (two ? 0xffffu : 0xffu)) != 0) return std::nullopt;
    out[0] = static_cast<char>(v >> 16);
    if (two) return 1;
    out[1] = static_cast<char>(v >> 8);
    return 2;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return std::string();
    std::string out(text.size() / 4 * 3, '\0');
    // Every group but the last holds four alphabet characters ('=' is only valid at the end).
    const std::size_t last = text.size() - 4;
    if (base64DecodeGroups(text.substr(0, last), out.data()) != last) return std::nullopt;
    const auto tail = base64DecodeFinalGroup(text.substr(last), out.data() + last / 4 * 3);
    if (!tail) return std::nullopt;
    out.resize(last / 4 * 3 + *tail);
    return out;
}

}  // namespace tessaron
