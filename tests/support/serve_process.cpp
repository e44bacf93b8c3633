#include "support/serve_process.h"

#include "host/agent_configuration.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <map>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>


namespace tessaron::testing {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool uidHasProcesses(uid_t uid) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        std::ifstream status(entry.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("Uid:", 0) != 0) continue;
            if (std::stoul(line.substr(4)) == uid) return true;
            break;
        }
    }
    return false;
}

}  // namespace

ChildIdentity unusedIdentity() {
    for (uid_t candidate = 40000 + static_cast<uid_t>(getpid() % 20000), tries = 0; tries < 1000; ++candidate, ++tries) {
        if (::getpwuid(candidate) || ::getgrgid(candidate) || uidHasProcesses(candidate)) continue;
        return ChildIdentity{candidate, static_cast<gid_t>(candidate)};
    }
    throw std::runtime_error("no unused user ID found");
}

void chownTree(const fs::path& path, const ChildIdentity& identity) {
    if (::lchown(path.c_str(), identity.uid, identity.gid) != 0) throw std::runtime_error("lchown " + path.string());
    if (!fs::is_directory(fs::symlink_status(path))) return;
    for (const auto& entry : fs::recursive_directory_iterator(path)) {
        if (::lchown(entry.path().c_str(), identity.uid, identity.gid) != 0)
            throw std::runtime_error("lchown " + entry.path().string());
    }
}

namespace {

// Read (and search or run, where the owner may) for everyone.
void openToEveryone(const fs::path& path) {
    const fs::perms mode = fs::symlink_status(path).permissions();
    fs::perms added = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    if ((mode & fs::perms::owner_exec) != fs::perms::none)
        added |= fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    fs::permissions(path, added, fs::perm_options::add);
}

}  // namespace

ReachableCopies::ReachableCopies() {
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
}

fs::path ReachableCopies::add(const fs::path& source) {
    const fs::path copy = dir_.path() / source.filename();
    fs::copy(source, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    openToEveryone(copy);
    if (fs::is_directory(fs::symlink_status(copy))) {
        for (const auto& entry : fs::recursive_directory_iterator(copy))
            if (!entry.is_symlink()) openToEveryone(entry.path());
    }
    return copy;
}

RunningProgram::RunningProgram(const fs::path& program, const std::vector<std::string>& arguments,
                               const ProgramEnvironment& environment, const std::optional<ChildIdentity>& identity) {
    const PreparedExec prepared(program, arguments, environment);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("pipe");
    }
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::setpgid(0, 0);
        if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) ::signal(s, SIG_DFL);
        if (identity) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(identity->gid) != 0 || ::setuid(identity->uid) != 0) ::_exit(126);
        }
        // After the change of identity, which clears it: the child dies with the test.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        prepared.exec();
    }
    ::setpgid(pid_, pid_);  // also from this side, so that signalling the group never races the child
    if (devNull >= 0) ::close(devNull);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    reader_ = std::thread([this] { readOutput(); });
}

void RunningProgram::readOutput() {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    std::string* sinks[2] = {&out_, &err_};
    int open = 2;
    char buffer[16384];
    while (open > 0) {
        {
            std::lock_guard lock(mutex_);
            if (stopReading_) break;
        }
        const int ready = ::poll(fds, 2, 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;  // negative: poll ignores it
                --open;
            }
        }
    }
    std::lock_guard lock(mutex_);
    drained_ = open == 0;
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0 && !status_) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    {
        std::lock_guard lock(mutex_);
        stopReading_ = true;
    }
    if (reader_.joinable()) reader_.join();
    if (outFd_ >= 0) ::close(outFd_);
    if (errFd_ >= 0) ::close(errFd_);
}

std::string RunningProgram::standardOutput() const {
    std::lock_guard lock(mutex_);
    return out_;
}

std::string RunningProgram::standardError() const {
    std::lock_guard lock(mutex_);
    return err_;
}

std::vector<std::string> RunningProgram::outputLines() const {
    const std::string text = standardOutput();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

bool RunningProgram::waitForOutput(const std::string& fragment, double seconds) const {
    const auto deadline = deadlineAfter(seconds);
    for (;;) {
        if (standardOutput().find(fragment) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void RunningProgram::signal(int signal) const {
    if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

std::optional<int> RunningProgram::waitForExit(double seconds) {
    if (status_) return status_;
    const auto deadline = deadlineAfter(seconds);
    for (;;) {
        siginfo_t info{};
        // Observed without reaping, so that the group ID stays reserved while stragglers
        // of the group are killed.
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
            ::kill(-pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The rest of the output: the pipes end once no process holds them.
    const auto drainDeadline = deadlineAfter(5);
    while (Clock::now() < drainDeadline) {
        {
            std::lock_guard lock(mutex_);
            if (drained_) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

bool RunningProgram::running() { return !waitForExit(0).has_value(); }

ProgramRun runProgramAs(const fs::path& program, const std::vector<std::string>& arguments,
                        const ProgramEnvironment& environment, const std::optional<ChildIdentity>& identity,
                        int timeoutSeconds) {
    RunningProgram child(program, arguments, environment, identity);
    auto status = child.waitForExit(timeoutSeconds);
    if (!status) {
        child.signal(SIGKILL);
        status = child.waitForExit(10);
    }
    ProgramRun run;
    run.exitCode = status.value_or(-1);
    run.standardOutput = child.standardOutput();
    run.standardError = child.standardError();
    return run;
}

ProgramEnvironment helperEnvironment(const fs::path& processListerDir) {
    ProgramEnvironment environment;
    environment.variables["TESSARON_PS_PATH"] = (processListerDir / "ps").string();
    environment.variables["TESSARON_CONFIG_PATH"] = AgentConfigurationStore::defaultURL().string();
    environment.variables["TESSARON_PASS_INTERVAL_MS"] = "200";
    return environment;
}

}  // namespace tessaron::testing
