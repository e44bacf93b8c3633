#include "cli/output.h"

#include "host/process_runner.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace tessaron::cli {

void makeStandardOutputUnbuffered() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

void writeAll(int fd, std::string_view bytes) {
    std::fflush(stdout);
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw SystemError::fromErrno("Could not write the output", n < 0 ? errno : EIO);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

namespace {

// The length of the well-formed UTF-8 sequence that starts at text[i], or 0.
std::size_t sequenceLengthAt(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length =
        lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size() || !isValidUTF8(std::string(text.substr(i, length)))) return 0;
    return length;
}

}  // namespace

std::string escapedForTerminal(std::string_view text, bool keepLineFeeds) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = sequenceLengthAt(text, i);
        if (length == 0) {
            out += "\\x";
            out += hex[lead >> 4];
            out += hex[lead & 15];
            ++i;
            continue;
        }
        if (length == 1 && (lead < 0x20 || lead == 0x7F)) {
            if (lead == '\n' && keepLineFeeds) out += '\n';
            else if (lead == '\n') out += "\\n";
            else if (lead == '\t') out += "\\t";
            else if (lead == '\r') out += "\\r";
            else out += std::string("\\x") + hex[lead >> 4] + hex[lead & 15];
        } else if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            const auto code = static_cast<unsigned char>(text[i + 1]);  // U+0080 to U+009F
            out += std::string("\\u00") + hex[code >> 4] + hex[code & 15];
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

void printLine(std::string_view text) {
    std::string line(text);
    line += '\n';
    writeAll(STDOUT_FILENO, line);
}

std::string jsonLine(const json::Json& value) {
    const std::string compact = json::encode(value);
    std::string line;
    line.reserve(compact.size() + 8);
    // A "/" can only stand inside a string in JSON text, so escaping every one is safe.
    for (char c : compact) {
        if (c == '/') line += "\\/";
        else line += c;
    }
    line += '\n';
    return line;
}

void printJSON(const json::Json& value) { writeAll(STDOUT_FILENO, jsonLine(value)); }

}  // namespace tessaron::cli
