#include "host/process_runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

// glibc closes a range of descriptors in the child as one of posix_spawn's file actions.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define TESSARON_SPAWN_CLOSEFROM 1
#endif

namespace tessaron {
namespace {

LaunchError launchError(const std::string& executable, int code) {
    const std::string name = std::filesystem::path(executable).filename().string();
    switch (code) {
    case ENOENT:
    case ENOTDIR:
        return LaunchError("The file \u201c" + name + "\u201d doesn\u2019t exist.", code);
    case EACCES:
    case EPERM:
        return LaunchError("You don\u2019t have permission to run \u201c" + name + "\u201d.", code);
    default:
        return LaunchError("The program \u201c" + name + "\u201d could not be started (" + std::strerror(code) + ").", code);
    }
}

std::vector<char*> argumentVector(const std::string& executable, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

int waitForChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// The child starts with no blocked signals and with SIGPIPE and SIGXFSZ at their
// defaults, whatever this process has blocked or ignored for itself (the long-running
// commands block SIGTERM and SIGINT in every thread so that one watcher takes them;
// without this a limactl started from there could not be stopped).
class SpawnAttributes {
public:
    explicit SpawnAttributes(short flags = 0) {
        posix_spawnattr_init(&attributes_);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGXFSZ);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if !defined(TESSARON_SPAWN_CLOSEFROM) && defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
        flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;  // see ChildDescriptors
#endif
        posix_spawnattr_setflags(&attributes_, flags);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// The child's descriptors: its standard streams and nothing else. This process may hold
// descriptors without close-on-exec (a library's sockets, the edge tunnel's among them); a
// program started from here must not get them, as it could read and write them, or keep a
// connection open after this process closed its end.
class ChildDescriptors {
public:
    ChildDescriptors() { posix_spawn_file_actions_init(&actions_); }
    ~ChildDescriptors() { posix_spawn_file_actions_destroy(&actions_); }
    ChildDescriptors(const ChildDescriptors&) = delete;
    ChildDescriptors& operator=(const ChildDescriptors&) = delete;

    void open(int fd, const char* path, int flags) {
        posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0);
        setUp(fd);
    }
    void duplicate(int from, int to) {
        posix_spawn_file_actions_adddup2(&actions_, from, to);
        setUp(to);
    }
    // The actions for posix_spawn, once the standard streams are set up: all else is closed.
    posix_spawn_file_actions_t* finished() {
#if defined(TESSARON_SPAWN_CLOSEFROM)
        posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
#elif defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
        // There the child gets only the descriptors named here (SpawnAttributes sets the flag).
        for (int fd : inheritedStandardStreams(setUp_)) posix_spawn_file_actions_addinherit_np(&actions_, fd);
#endif
        return &actions_;
    }

private:
    void setUp(int fd) {
        if (fd >= STDIN_FILENO && fd <= STDERR_FILENO) setUp_[static_cast<std::size_t>(fd)] = true;
    }
    posix_spawn_file_actions_t actions_;
    std::array<bool, 3> setUp_{};
};

struct Pipe {
    int read = -1;
    int write = -1;
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
};

// Starts the child with standard output and error on two new pipes whose read ends are
// left in `out` and `err`; standard input is /dev/null with `nullInput`, else this one's.
// With `ownGroup` the child leads a new process group, so that it can be ended with all it started.
pid_t spawnCaptured(const std::string& executable, const std::vector<std::string>& arguments, Pipe& out, Pipe& err,
                    bool nullInput, bool ownGroup = false) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw launchError(executable, errno);
    out.read = fds[0];
    out.write = fds[1];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw launchError(executable, errno);
    err.read = fds[0];
    err.write = fds[1];

    ChildDescriptors descriptors;
    if (nullInput) descriptors.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    descriptors.duplicate(out.write, STDOUT_FILENO);
    descriptors.duplicate(err.write, STDERR_FILENO);
    auto argv = argumentVector(executable, arguments);
    SpawnAttributes attributes(ownGroup ? POSIX_SPAWN_SETPGROUP : 0);
    if (ownGroup) posix_spawnattr_setpgroup(attributes.get(), 0);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, executable.c_str(), descriptors.finished(), attributes.get(), argv.data(), environ);
    if (spawned != 0) throw launchError(executable, spawned);
    ::close(out.write);
    out.write = -1;
    ::close(err.write);
    err.write = -1;
    return pid;
}

// Non-blocking reads of a child's two output pipes into buffers of a fixed capacity.
class BoundedCapture {
public:
    BoundedCapture(int out, int err, std::size_t limit) : fds_{out, err}, limit_(limit) {
        for (int fd : fds_) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    // Waits at most `wait` for output and reads what is there.
    void pump(std::chrono::milliseconds wait) {
        pollfd polled[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        const int ready = ::poll(polled, 2, static_cast<int>(wait.count()));
        if (ready > 0) drain();
    }
    // Reads until each pipe is empty for now or at its end, or 1 MiB was read from it, so
    // that a program writing without pause cannot keep the caller here past its deadline.
    void drain() {
        char buffer[16384];
        for (int i = 0; i < 2; ++i) {
            for (int reads = 0; fds_[i] >= 0 && reads < 64; ++reads) {
                const ssize_t n = ::read(fds_[i], buffer, sizeof buffer);
                if (n > 0) {
                    const std::size_t room = limit_ > captured[i].size() ? limit_ - captured[i].size() : 0;
                    captured[i].append(buffer, std::min(room, static_cast<std::size_t>(n)));
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    if (n == 0 || errno != EAGAIN) fds_[i] = -1;  // at its end (or broken): poll skips it
                    break;
                }
            }
        }
    }
    std::string captured[2];

private:
    int fds_[2];
    std::size_t limit_;
};

// True once the child has exited. It is left unreaped, so that its process ID (and with it
// the ID of its process group) cannot be reused while the group is still being signalled.
bool hasExited(pid_t pid) {
    siginfo_t info{};
    int got;
    do got = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    while (got < 0 && errno == EINTR);
    return got < 0 || info.si_pid == pid;  // an error: not ours to wait for any more
}

}  // namespace

void closeOnExecAboveStandardStreams() {
#if defined(TESSARON_SPAWN_CLOSEFROM) && defined(CLOSE_RANGE_CLOEXEC)
    if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (int fd = STDERR_FILENO + 1; fd < (limit > 0 ? limit : 1024); ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

std::vector<int> inheritedStandardStreams(const std::array<bool, 3>& setUp) {
    std::vector<int> kept;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (setUp[static_cast<std::size_t>(fd)]) continue;
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) kept.push_back(fd);
    }
    return kept;
}

std::int32_t exitCodeFromWaitStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 255;
}

bool isValidUTF8(const std::string& bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0, n = bytes.size();
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) { ++i; continue; }
        std::size_t length;
        std::uint32_t code;
        if ((c & 0xE0) == 0xC0) { length = 2; code = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { length = 3; code = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { length = 4; code = c & 0x07; }
        else return false;
        if (i + length > n) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (s[i + k] & 0x3F);
        }
        if ((length == 2 && code < 0x80) || (length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
            code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
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

CommandResult ProcessCommandRunner::run(const std::string& executable, const std::vector<std::string>& arguments) {
    Pipe out, err;
    const pid_t pid = spawnCaptured(executable, arguments, out, err, /*nullInput=*/false);

    // Drain both pipes together so that a child filling one of them never stalls.
    std::string captured[2];
    pollfd polled[2] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (::poll(polled, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (polled[i].fd < 0 || polled[i].revents == 0) continue;
            ssize_t n = ::read(polled[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                captured[i].append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                polled[i].fd = -1;
                --open;
            }
        }
    }
    const int status = waitForChild(pid);
    CommandResult result;
    result.exitCode = exitCodeFromWaitStatus(status);
    result.standardOutputValid = isValidUTF8(captured[0]);
    result.standardOutput = result.standardOutputValid ? std::move(captured[0]) : std::string();
    result.standardError = isValidUTF8(captured[1]) ? std::move(captured[1]) : std::string();
    return result;
}

std::int32_t ProcessCommandRunner::runInteractive(const std::string& executable,
                                                  const std::vector<std::string>& arguments) {
    const pid_t savedGroup = ::isatty(STDIN_FILENO) == 1 ? ::tcgetpgrp(STDIN_FILENO) : -1;

    // With a terminal the child gets a process group of its own, which is then given
    // the terminal.
    SpawnAttributes attributes(savedGroup >= 1 ? POSIX_SPAWN_SETPGROUP : 0);
    if (savedGroup >= 1) posix_spawnattr_setpgroup(attributes.get(), 0);
    auto argv = argumentVector(executable, arguments);
    ChildDescriptors descriptors;
    pid_t pid = -1;
    int spawned = ::posix_spawn(&pid, executable.c_str(), descriptors.finished(), attributes.get(), argv.data(), environ);
    if (spawned != 0) throw launchError(executable, spawned);

    int status = 0;
    if (savedGroup >= 1) {
        auto previous = ::signal(SIGTTOU, SIG_IGN);
        const pid_t childGroup = ::getpgid(pid);
        if (childGroup >= 1 && ::tcsetpgrp(STDIN_FILENO, childGroup) == 0) ::kill(-childGroup, SIGCONT);
        status = waitForChild(pid);
        ::tcsetpgrp(STDIN_FILENO, savedGroup);
        ::signal(SIGTTOU, previous);
    } else {
        status = waitForChild(pid);
    }
    return exitCodeFromWaitStatus(status);
}

BoundedRun runBounded(const std::string& executable, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout, std::size_t outputLimit, std::chrono::milliseconds grace,
                      std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    Pipe out, err;
    const pid_t pid = spawnCaptured(executable, arguments, out, err, /*nullInput=*/true, /*ownGroup=*/true);

    // The exit is noticed by waiting for the child, not by the pipes' end, which a grandchild may hold.
    constexpr std::chrono::milliseconds tick(20);
    BoundedCapture capture(out.read, err.read, outputLimit);
    const auto waitUntil = [&](Clock::time_point deadline, bool stoppable) {
        while (!hasExited(pid)) {
            const auto now = Clock::now();
            if (now >= deadline || (stoppable && stop.stop_requested())) return false;
            capture.pump(std::min(tick, std::chrono::ceil<std::chrono::milliseconds>(deadline - now)));
        }
        return true;
    };

    BoundedRun result;
    if (waitUntil(Clock::now() + timeout, true)) {
        capture.drain();
        const int status = waitForChild(pid);
        result.exitCode = status < 0 ? 255 : exitCodeFromWaitStatus(status);
        result.standardOutput = std::move(capture.captured[0]);
        result.standardError = std::move(capture.captured[1]);
        return result;
    }
    (stop.stop_requested() ? result.stopped : result.timedOut) = true;
    // The whole group is ended: what the child started must not outlive a run given up on.
    // (The child itself is signalled too, in case it left the group.)
    const auto end = [pid](int signal) {
        ::kill(-pid, signal);
        ::kill(pid, signal);
    };
    end(SIGTERM);
    waitUntil(Clock::now() + grace, false);
    end(SIGKILL);
    waitForChild(pid);
    return result;
}

CommandResult BoundedCommandRunner::run(const std::string& executable, const std::vector<std::string>& arguments) {
    BoundedRun run = runBounded(executable, arguments, timeout_, outputLimit_, std::chrono::seconds(1), stop_);
    if (run.timedOut || run.stopped) {
        throw Error("\u201c" + std::filesystem::path(executable).filename().string() + "\u201d did not respond in time.");
    }
    CommandResult result;
    result.exitCode = run.exitCode;
    result.standardOutputValid = isValidUTF8(run.standardOutput);
    if (result.standardOutputValid) result.standardOutput = std::move(run.standardOutput);
    if (isValidUTF8(run.standardError)) result.standardError = std::move(run.standardError);
    return result;
}

}  // namespace tessaron
