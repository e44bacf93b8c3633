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

}  // namespace tessaron
