#include "support/tessaron_process.h"
#include "support/limactl_standin.h"
#include "support/temp_dir.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tessaron::testing {

std::filesystem::path tessaronPath() { return bundleDir() / "Contents" / "MacOS" / "tessaron"; }

PreparedExec::PreparedExec(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                           const ProgramEnvironment& environment)
    : path_(program.string()), directory_(environment.workingDirectory ? environment.workingDirectory->string() : ""),
      arguments_(arguments) {
    // The test's own environment, with the requested changes.
    std::map<std::string, std::string> values;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos) values[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : environment.variables) {
        if (value) values[name] = *value;
        else values.erase(name);
    }
    for (const auto& [name, value] : values) environment_.push_back(name + "=" + value);
    argv_.push_back(path_.data());
    for (auto& argument : arguments_) argv_.push_back(argument.data());
    argv_.push_back(nullptr);
    for (auto& entry : environment_) envp_.push_back(entry.data());
    envp_.push_back(nullptr);
}

void PreparedExec::exec() const {
    if (!directory_.empty() && ::chdir(directory_.c_str()) != 0) ::_exit(126);
    ::execve(path_.c_str(), argv_.data(), envp_.data());
    ::_exit(127);
}

ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const ProgramEnvironment& environment, int timeoutSeconds) {
    const PreparedExec prepared(program, arguments, environment);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::setpgid(0, 0);
        prepared.exec();
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    std::string_view pending = environment.standardInput;
    if (pending.empty()) {
        ::close(in[1]);
        in[1] = -1;
    } else {
        ::fcntl(in[1], F_SETFL, O_NONBLOCK);
    }

    ProgramRun run;
    std::string* sinks[2] = {&run.standardOutput, &run.standardError};
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int open = 2;
    bool killed = false;
    char buffer[65536];
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 && !killed) {
            ::kill(-pid, SIGKILL);
            killed = true;
        }
        int ready = ::poll(fds, in[1] >= 0 ? 3 : 2, killed ? 1000 : static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) sinks[i]->append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
        if (in[1] >= 0 && fds[2].revents) {
            ssize_t n = ::write(in[1], pending.data(), pending.size());
            if (n > 0) pending.remove_prefix(static_cast<std::size_t>(n));
            if (n < 0 && errno != EAGAIN && errno != EINTR) pending = {};
            if (pending.empty()) {
                ::close(in[1]);
                in[1] = -1;
            }
        }
    }
    if (in[1] >= 0) ::close(in[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

std::filesystem::path writeHomeFilteredProcessLister(const std::filesystem::path& dir) {
    const std::string script =
        "#!/bin/sh\n"
        "\"" + (standinBinDir() / "ps").string() + "\" \"$@\" | while read -r pid comm; do\n"
        "  case \"$comm\" in\n"
        "    */tessaron|tessaron) tr '\\000' '\\n' < /proc/$pid/environ 2>/dev/null | grep -qxF \"HOME=$HOME\" || continue ;;\n"
        "  esac\n"
        "  printf '%5s %s\\n' \"$pid\" \"$comm\"\n"
        "done\n";
    StandinLimaHome::writeShim(dir, "ps", script);
    return dir / "ps";
}

}  // namespace tessaron::testing
