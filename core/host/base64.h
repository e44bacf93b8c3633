#pragma once
// Standard Base64 (RFC 4648 alphabet, padded, no line breaks): the tunnel's byte
// payloads and the guest scripts' arguments and answers.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

std::string base64Encode(std::string_view bytes);
// Strict: any character outside the alphabet (whitespace included), bad padding or
// non-zero spare bits in the last group give nullopt; only the canonical text decodes.
std::optional<std::string> base64Decode(std::string_view text);

// The length of the encoding of `bytes` bytes, and the encoding written to `out`
// (exactly that many characters), for callers that place it inside a larger text.
constexpr std::size_t base64EncodedSize(std::size_t bytes) { return (bytes + 2) / 3 * 4; }
void base64EncodeTo(std::string_view bytes, char* out);

// For decoding a text in place, where it stands in a larger text: the whole groups of four
// alphabet characters from the start of `text`, three bytes each to `out`, stopping before
// the first group that is incomplete or holds any other character ('=' included); gives the
// number of characters decoded (a multiple of 4). `out` needs room for three bytes per whole
// group of `text`: what lies past the decoded bytes in that room may be overwritten.
std::size_t base64DecodeGroups(std::string_view text, char* out);
// The last group of a text ("xx==", "xxx=" or "xxxx", spare bits zero) to `out`: the number
// of bytes written (1 to 3), or nullopt when it is not such a group.
std::optional<std::size_t> base64DecodeFinalGroup(std::string_view text, char* out);

}  // namespace tessaron
