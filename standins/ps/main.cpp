// A stand-in for macOS's ps, enough for `ps -U <uid> -o pid=,comm=`: the processes of a
// user with their full command paths, read from /proc.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Column {
    std::string name;  // "pid" or "comm"
    bool header = true;
};

int usage(const std::string& complaint) {
    std::fprintf(stderr, "ps: %s\nusage: ps [-A] [-U user] [-o pid[=],comm[=]]\n", complaint.c_str());
    return 1;
}

std::optional<uid_t> parseUser(const std::string& text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() < 11) {
        unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
        if (value <= UINT_MAX) return static_cast<uid_t>(value);
    }
    if (const passwd* entry = ::getpwnam(text.c_str())) return entry->pw_uid;
    return std::nullopt;
}

bool parseColumns(const std::string& list, std::vector<Column>& columns) {
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ',')) {
        Column column;
        if (!item.empty() && item.back() == '=') {
            column.header = false;
            item.pop_back();
        }
        if (item != "pid" && item != "comm") return false;
        column.name = item;
        columns.push_back(column);
    }
    return !columns.empty();
}

std::optional<uid_t> realUser(const std::string& dir) {
    std::ifstream status(dir + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) != 0) continue;
        std::istringstream fields(line.substr(4));
        unsigned long uid;
        if (fields >> uid) return static_cast<uid_t>(uid);
    }
    return std::nullopt;
}

std::string commandPath(const std::string& dir) {
    char target[PATH_MAX];
    ssize_t length = ::readlink((dir + "/exe").c_str(), target, sizeof target - 1);
    if (length > 0) {
        std::string path(target, static_cast<std::size_t>(length));
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        return path;
    }
    std::ifstream cmdline(dir + "/cmdline", std::ios::binary);
    std::string argument0;
    if (std::getline(cmdline, argument0, '\0') && !argument0.empty() && argument0.front() == '/') return argument0;
    std::ifstream comm(dir + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<uid_t> user;
    bool all = false;
    std::vector<Column> columns;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "-A" || argument == "-ax" || argument == "-e") {
            all = true;
        } else if (argument == "-U") {
            if (++i >= argc) return usage("option requires an argument -- U");
            user = parseUser(argv[i]);
            if (!user) return usage(std::string("unknown user ") + argv[i]);
        } else if (argument == "-o") {
            if (++i >= argc) return usage("option requires an argument -- o");
            if (!parseColumns(argv[i], columns)) return usage(std::string("unknown keyword in ") + argv[i]);
        } else {
            return usage("illegal argument: " + argument);
        }
    }
    if (columns.empty()) columns = {{"pid", true}, {"comm", true}};
    if (!all && !user) user = ::getuid();

    bool anyHeader = false;
    for (const auto& column : columns) anyHeader = anyHeader || column.header;
    std::string out;
    if (anyHeader) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            std::string title = columns[c].header ? (columns[c].name == "pid" ? "  PID" : "COMM") : "";
            out += (c ? " " : "") + title;
        }
        out += "\n";
    }

    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        std::perror("ps: /proc");
        return 1;
    }
    std::vector<long> pids;
    while (dirent* entry = ::readdir(proc)) {
        std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        pids.push_back(std::strtol(name.c_str(), nullptr, 10));
    }
    ::closedir(proc);
    std::sort(pids.begin(), pids.end());

    for (long pid : pids) {
        const std::string dir = "/proc/" + std::to_string(pid);
        auto owner = realUser(dir);
        if (!owner) continue;  // gone in the meantime
        if (user && *owner != *user) continue;
        std::string line;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c) line += " ";
            if (columns[c].name == "pid") {
                char number[16];
                std::snprintf(number, sizeof number, "%5ld", pid);
                line += number;
            } else {
                line += commandPath(dir);
            }
        }
        out += line + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
