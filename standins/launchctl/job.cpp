#include "standins/launchctl/job.h"

#include "standins/launchctl/state.h"
#include "standins/common/watched_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tessaron::standin::launchctl {
namespace {

using Clock = std::chrono::steady_clock;

std::optional<std::string> optionalString(const plist::Dictionary& list, const std::string& key) {
    auto found = list.find(key);
    if (found == list.end()) return std::nullopt;
    if (!found->second.isString()) throw JobError("\"" + key + "\" is not a string");
    return *found->second.string();
}

double seconds(const plist::Dictionary& list, const std::string& key, double fallback) {
    auto found = list.find(key);
    if (found == list.end()) return fallback;
    if (found->second.isInteger()) return static_cast<double>(*found->second.integer());
    if (found->second.isReal()) return *found->second.real();
    throw JobError("\"" + key + "\" is not a number");
}

bool alive(pid_t pid) {
    if (pid <= 0 || ::kill(pid, 0) != 0) return errno == EPERM;
    // A zombie that nobody reaps yet counts as gone.
    auto stat = readText("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    auto close = stat->rfind(')');
    return close == std::string::npos || close + 2 >= stat->size() || (*stat)[close + 2] != 'Z';
}

std::optional<long> readNumber(const fs::path& path) {
    auto text = readText(path);
    if (!text) return std::nullopt;
    try {
        std::size_t used = 0;
        long value = std::stol(*text, &used);
        return value;
    } catch (...) {
        return std::nullopt;
    }
}

void closeInheritedDescriptors(int keep) {
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != keep) ::close(fd);
    }
}

void redirect(int target, const char* path, int flags) {
    int fd = ::open(path, flags | O_CLOEXEC, 0644);
    if (fd < 0) _exit(78);
    if (::dup2(fd, target) < 0) _exit(78);
    ::close(fd);
}

volatile sig_atomic_t stopRequested = 0;
void onStopSignal(int) { stopRequested = 1; }

std::vector<std::string> jobEnvironment(const JobSpec& spec) {
    std::map<std::string, std::string> values;
    values["PATH"] = "/usr/bin:/bin:/usr/sbin:/sbin";
    values["SHELL"] = "/bin/sh";
    if (const char* home = std::getenv("HOME")) values["HOME"] = home;
    std::string user;
    if (spec.userName) {
        user = *spec.userName;
    } else if (passwd* entry = ::getpwuid(::geteuid())) {
        user = entry->pw_name;
    }
    if (!user.empty()) {
        values["USER"] = user;
        values["LOGNAME"] = user;
    }
    if (const char* pass = std::getenv("TESSARON_LAUNCHCTL_PASS_ENV")) {
        std::stringstream names(pass);
        std::string name;
        while (std::getline(names, name, ',')) {
            if (const char* value = name.empty() ? nullptr : std::getenv(name.c_str())) values[name] = value;
        }
    }
    for (const auto& [name, value] : spec.environment) values[name] = value;
    std::vector<std::string> out;
    for (const auto& [name, value] : values) out.push_back(name + "=" + value);
    return out;
}

// Starts the program; returns its process ID (the leader of its own process group).
pid_t spawnJob(const JobSpec& spec) {
    const std::vector<std::string> environment = jobEnvironment(spec);
    std::vector<char*> envp;
    for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const auto& argument : spec.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid != 0) return pid;  // parent (or -1)

    ::setpgid(0, 0);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) ::signal(signal, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    redirect(STDIN_FILENO, "/dev/null", O_RDONLY);
    redirect(STDOUT_FILENO, spec.standardOutPath ? spec.standardOutPath->c_str() : "/dev/null",
             O_WRONLY | O_CREAT | O_APPEND);
    redirect(STDERR_FILENO, spec.standardErrorPath ? spec.standardErrorPath->c_str() : "/dev/null",
             O_WRONLY | O_CREAT | O_APPEND);
    if (spec.userName) {
        passwd* entry = ::getpwnam(spec.userName->c_str());
        if (!entry) _exit(78);
        if (entry->pw_uid != ::geteuid()) {
            if (::initgroups(entry->pw_name, entry->pw_gid) != 0 || ::setgid(entry->pw_gid) != 0 ||
                ::setuid(entry->pw_uid) != 0)
                _exit(78);
        }
    }
    if (spec.workingDirectory && ::chdir(spec.workingDirectory->c_str()) != 0) _exit(78);
    ::execve(spec.program.c_str(), argv.data(), envp.data());
    _exit(78);
}

void sleepFor(double secondsToWait) {
    std::this_thread::sleep_for(std::chrono::duration<double>(secondsToWait));
}

// Terminates the program's process group: SIGTERM, then SIGKILL after the time-out.
void terminateJob(pid_t pid, double timeout) {
    ::kill(-pid, SIGTERM);
    ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
    int status = 0;
    while (Clock::now() < deadline) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ::kill(-pid, SIGKILL);  // anything the program left in its group
            return;
        }
        sleepFor(0.05);
    }
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

[[noreturn]] void supervise(const JobSpec& spec, const fs::path& dir, int ready) {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);

    try {
        writeText(dir / "supervisor.pid", std::to_string(::getpid()) + "\n");
        writeText(dir / "runs", "0\n");
    } catch (...) {
        _exit(1);
    }
    (void)!::write(ready, "ok", 2);
    ::close(ready);

    // A test that loaded the job and was killed before booting it out takes it along.
    const standin::WatchedProcess owner;
    bool wanted = startsAtLoad(spec);
    pid_t running = 0;  // the job's process, 0 while none runs
    std::optional<Clock::time_point> lastStart;
    long runs = 0;
    std::error_code error;
    try {
        while (!stopRequested && fs::exists(dir / "supervisor.pid", error) && !owner.ended()) {
            if (running <= 0 && wanted) {
                if (lastStart) {
                    const auto earliest = *lastStart + std::chrono::duration<double>(spec.throttleSeconds);
                    if (Clock::now() < earliest) {
                        sleepFor(0.05);
                        continue;
                    }
                }
                pid_t pid = spawnJob(spec);
                lastStart = Clock::now();
                if (pid > 0) {
                    running = pid;
                    writeText(dir / "runs", std::to_string(++runs) + "\n");
                    writeText(dir / "job.pid", std::to_string(pid) + "\n");
                }
            }
            if (running > 0) {
                int status = 0;
                if (::waitpid(running, &status, WNOHANG) == running) {
                    ::kill(-running, SIGKILL);  // nothing outlives the program in its group
                    running = 0;
                    fs::remove(dir / "job.pid", error);
                    writeText(dir / "last-exit", WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status)) + "\n"
                                                                     : "exit " + std::to_string(WEXITSTATUS(status)) + "\n");
                    wanted = keepAliveAfterExit(spec.keepAlive, status);
                }
            }
            sleepFor(0.05);
        }
    } catch (...) {
        // The folder vanished under us or could not be written: unload.
    }
    if (running) terminateJob(running, spec.exitTimeoutSeconds);
    fs::remove_all(dir, error);
    _exit(0);
}

}  // namespace

JobSpec jobFromPropertyList(const plist::Value& list) {
    const plist::Dictionary* entries = list.dictionary();
    if (!entries) throw JobError("the property list is not a dictionary");
    JobSpec spec;
    auto label = optionalString(*entries, "Label");
    if (!label || label->empty() || *label == "." || *label == ".." || label->find('/') != std::string::npos)
        throw JobError("the property list has no usable Label");
    spec.label = *label;
    if (auto found = entries->find("ProgramArguments"); found != entries->end()) {
        const plist::Array* items = found->second.array();
        if (!items) throw JobError("\"ProgramArguments\" is not an array");
        for (const auto& item : *items) {
            if (!item.isString()) throw JobError("\"ProgramArguments\" holds a value that is not a string");
            spec.arguments.push_back(*item.string());
        }
    }
    if (auto program = optionalString(*entries, "Program")) {
        spec.program = *program;
        if (spec.arguments.empty()) spec.arguments.push_back(*program);
    } else if (!spec.arguments.empty()) {
        spec.program = spec.arguments.front();
    }
    if (spec.program.empty()) throw JobError("the property list names no program");
    spec.workingDirectory = optionalString(*entries, "WorkingDirectory");
    spec.standardOutPath = optionalString(*entries, "StandardOutPath");
    spec.standardErrorPath = optionalString(*entries, "StandardErrorPath");
    spec.userName = optionalString(*entries, "UserName");
    if (auto found = entries->find("EnvironmentVariables"); found != entries->end()) {
        const plist::Dictionary* variables = found->second.dictionary();
        if (!variables) throw JobError("\"EnvironmentVariables\" is not a dictionary");
        for (const auto& [name, value] : *variables) {
            if (!value.isString()) throw JobError("\"EnvironmentVariables\" holds a value that is not a string");
            spec.environment[name] = *value.string();
        }
    }
    if (auto found = entries->find("KeepAlive"); found != entries->end()) {
        if (!found->second.isBoolean() && !found->second.isDictionary())
            throw JobError("\"KeepAlive\" is neither a boolean nor a dictionary");
        spec.keepAlive = found->second;
    }
    if (auto found = entries->find("RunAtLoad"); found != entries->end()) {
        if (!found->second.isBoolean()) throw JobError("\"RunAtLoad\" is not a boolean");
        spec.runAtLoad = *found->second.boolean();
    }
    spec.throttleSeconds = seconds(*entries, "ThrottleInterval", 10);
    spec.exitTimeoutSeconds = seconds(*entries, "ExitTimeOut", 20);
    if (const char* throttle = std::getenv("TESSARON_LAUNCHCTL_THROTTLE"); throttle && *throttle) {
        char* end = nullptr;
        double value = std::strtod(throttle, &end);
        if (end && *end == '\0' && value >= 0) spec.throttleSeconds = value;
    }
    return spec;
}

bool keepAliveAfterExit(const std::optional<plist::Value>& keepAlive, int status) {
    if (!keepAlive) return false;
    if (const bool* flag = keepAlive->boolean()) return *flag;
    const plist::Dictionary& conditions = *keepAlive->dictionary();
    const bool successful = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const bool crashed = WIFSIGNALED(status);
    for (const auto& [key, value] : conditions) {
        const bool* flag = value.boolean();
        if (!flag) continue;
        if (key == "SuccessfulExit" && successful == *flag) return true;
        if (key == "Crashed" && crashed == *flag) return true;
        if (key == "NetworkState" && *flag) return true;  // the network is always up here
    }
    return false;
}

bool startsAtLoad(const JobSpec& spec) {
    if (spec.runAtLoad) return true;
    if (!spec.keepAlive) return false;
    if (const bool* flag = spec.keepAlive->boolean()) return *flag;
    const plist::Dictionary& conditions = *spec.keepAlive->dictionary();
    if (conditions.count("SuccessfulExit")) return true;  // it has to run once to have an exit status
    auto network = conditions.find("NetworkState");
    return network != conditions.end() && network->second == plist::Value(true);
}

std::optional<JobStatus> readJob(const fs::path& dir) {
    std::error_code error;
    if (!fs::is_directory(dir, error)) return std::nullopt;
    auto supervisor = readNumber(dir / "supervisor.pid");
    if (!supervisor || !alive(static_cast<pid_t>(*supervisor))) {
        fs::remove_all(dir, error);
        return std::nullopt;
    }
    JobStatus status;
    status.supervisor = static_cast<pid_t>(*supervisor);
    status.plistPath = readText(dir / "path").value_or("");
    if (auto pid = readNumber(dir / "job.pid"); pid && alive(static_cast<pid_t>(*pid))) status.pid = static_cast<pid_t>(*pid);
    status.runs = readNumber(dir / "runs").value_or(0);
    if (auto last = readText(dir / "last-exit")) {
        while (!last->empty() && last->back() == '\n') last->pop_back();
        status.lastExit = *last;
    }
    return status;
}

void startSupervisor(const JobSpec& spec, const fs::path& dir) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw JobError(std::string("pipe: ") + std::strerror(errno));
    std::fflush(nullptr);
    pid_t first = ::fork();
    if (first < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw JobError(std::string("fork: ") + std::strerror(errno));
    }
    if (first == 0) {
        // Detach completely: new session, no inherited descriptors (the state lock
        // included), standard streams on /dev/null so that a caller reading our
        // output is never kept waiting by the supervisor.
        ::setsid();
        closeInheritedDescriptors(fds[1]);
        redirect(STDIN_FILENO, "/dev/null", O_RDONLY);
        redirect(STDOUT_FILENO, "/dev/null", O_WRONLY);
        redirect(STDERR_FILENO, "/dev/null", O_WRONLY);
        pid_t second = ::fork();
        if (second != 0) _exit(second < 0 ? 1 : 0);
        supervise(spec, dir, fds[1]);
    }
    ::close(fds[1]);
    int status = 0;
    while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    char answer[2] = {0, 0};
    pollfd polled{fds[0], POLLIN, 0};
    bool ok = false;
    if (::poll(&polled, 1, 10000) > 0) ok = ::read(fds[0], answer, 2) == 2 && answer[0] == 'o' && answer[1] == 'k';
    ::close(fds[0]);
    if (!ok) throw JobError("the job supervisor did not start");
}

void stopSupervisor(const JobSpec& spec, const fs::path& dir, const JobStatus& status) {
    ::kill(status.supervisor, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::duration<double>(spec.exitTimeoutSeconds + 5);
    std::error_code error;
    while (Clock::now() < deadline) {
        if (!fs::exists(dir, error)) return;
        if (!alive(status.supervisor)) break;
        sleepFor(0.05);
    }
    // The supervisor did not finish in time (or died): clean up after it.
    ::kill(status.supervisor, SIGKILL);
    if (auto pid = readNumber(dir / "job.pid"); pid && *pid > 0) {
        ::kill(-static_cast<pid_t>(*pid), SIGKILL);
        ::kill(static_cast<pid_t>(*pid), SIGKILL);
    }
    fs::remove_all(dir, error);
}

}  // namespace tessaron::standin::launchctl
