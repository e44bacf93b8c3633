#pragma once
// Values that travel in HTTP header lines: the device token and the setup and pairing
// secrets (as bearer tokens) and the machine ID (in the edge tunnel's upgrade request).
// They come from the control panel and are saved for later runs, so each is checked
// before it is saved and again before it is sent: only visible ASCII (0x21 to 0x7E) is
// allowed, which keeps line breaks, other control characters, spaces and non-ASCII
// bytes out of every header.

#include <string_view>

namespace tessaron::header_value {

// True when every byte is visible ASCII; the empty text is safe (callers that need a
// value check for emptiness themselves).
bool isSafe(std::string_view text);

}  // namespace tessaron::header_value
