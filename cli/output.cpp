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

std::string replacingInvalidUTF8(const std::string& bytes) {
    std::string text;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length > 0 && i + length <= bytes.size() && isValidUTF8(bytes.substr(i, length))) {
            text.append(bytes, i, length);
            i += length;
        } else {
            text += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
        }
    }
    return text;
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
