#include "standins/limactl/lima_home.h"

#include "host/private_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace tessaron::standin::limactl {

fs::path limaHome() {
    // Absolute, so that guest commands and the host agent see the same folders from any cwd.
    std::error_code error;
    if (const char* home = std::getenv("LIMA_HOME"); home && *home) return fs::absolute(home, error);
    const char* user = std::getenv("HOME");
    return fs::absolute(fs::path(user && *user ? user : "/") / ".lima", error);
}

fs::path standinDir() { return limaHome() / "_standin"; }

fs::path instanceDir(const std::string& name) { return limaHome() / name; }

bool isValidInstanceName(std::string_view name) {
    // ^[A-Za-z0-9]+(?:[._-][A-Za-z0-9]+)*$: alphanumeric runs joined by single separators.
    if (name.empty() || name.size() > 76) return false;
    bool afterSeparator = true;
    for (char c : name) {
        const bool alphanumeric = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (alphanumeric) afterSeparator = false;
        else if ((c == '.' || c == '_' || c == '-') && !afterSeparator) afterSeparator = true;
        else return false;
    }
    return !afterSeparator;
}

void requireValidInstanceName(const std::string& name) {
    if (!isValidInstanceName(name))
        throw LimactlError("instance name " + goQuote(name) + " is invalid: identifier " + goQuote(name) +
                           " must match ^[A-Za-z0-9]+(?:[._-][A-Za-z0-9]+)*$");
}

FileLock::FileLock(const fs::path& path) {
    private_file::createDirectories(path.parent_path());
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) throw LimactlError("cannot open lock file " + path.string() + ": " + std::strerror(errno));
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd_);
            throw LimactlError("cannot lock " + path.string() + ": " + std::strerror(errno));
        }
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);
}

fs::path instanceLockPath(const std::string& name) { return standinDir() / "locks" / (name + ".lock"); }

std::string goQuote(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void logLine(std::string_view level, std::string_view message) {
    std::string line = "level=" + std::string(level) + " msg=" + goQuote(message) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

bool readSmallFile(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    out = buffer.str();
    return true;
}

std::string trimmed(std::string_view text) {
    const char* space = " \t\r\n\v\f";
    auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return "";
    auto last = text.find_last_not_of(space);
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace tessaron::standin::limactl
