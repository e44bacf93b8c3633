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
