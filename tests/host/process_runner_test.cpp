#include "host/process_runner.h"

#include "support/temp_dir.h"

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tessaron;
namespace fs = std::filesystem;
namespace tt = tessaron::testing;

namespace {

// A runner that blocks forever is a failure, not a hung test program: after the bound
// the whole program ends with a message.
class Watchdog {
public:
    explicit Watchdog(int seconds) {
        thread_ = std::thread([this, seconds] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
            while (!done_.load()) {
                if (std::chrono::steady_clock::now() > deadline) {
                    std::fprintf(stderr, "process runner did not return within %d s\n", seconds);
                    std::_Exit(3);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~Watchdog() {
        done_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

CommandResult sh(const std::string& script, std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{"-c", script, "sh"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    Watchdog watchdog(60);
    return ProcessCommandRunner().run("/bin/sh", arguments);
}

std::string launchErrorText(const std::string& executable) {
    try {
        ProcessCommandRunner().run(executable, {});
    } catch (const LaunchError& error) {
        return error.what();
    }
    return "(no error)";
}

}  // namespace

TEST(ProcessRunner, DrainsMegabytesOnBothPipesAtOnce) {
    // Both streams are written concurrently and far beyond a pipe's buffer.
    const std::size_t size = 6 * 1024 * 1024;
    auto result = sh("head -c $1 /dev/zero | tr '\\0' o & head -c $1 /dev/zero | tr '\\0' e >&2; wait; exit 4",
                     {std::to_string(size)});
    EXPECT_EQ(result.exitCode, 4);
    ASSERT_EQ(result.standardOutput.size(), size);
    ASSERT_EQ(result.standardError.size(), size);
    EXPECT_EQ(result.standardOutput.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(result.standardError.find_first_not_of('e'), std::string::npos);
}

TEST(ProcessRunner, PassesArgumentsUnchangedWithoutAShell) {
    auto result = ProcessCommandRunner().run("/usr/bin/printf", {"[%s]\\n", "two words", "", "$HOME", "'q'", "a\"b"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardOutput, "[two words]\n[]\n[$HOME]\n['q']\n[a\"b]\n");
    EXPECT_EQ(result.standardError, "");
}

TEST(ProcessRunner, InvalidUTF8BecomesEmptyTextButTheStatusStays) {
    auto result = sh("printf 'ok\\377' ; printf 'caf\\303\\251' >&2; exit 3");
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, "caf\u00e9");
    // Truncated sequences, surrogates and overlong forms are all refused.
    for (const char* bytes : {"\xC3", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80", "\xE2\x82"})
        EXPECT_FALSE(isValidUTF8(bytes)) << bytes;
    for (const char* bytes : {"", "plain", "\xE2\x80\x99", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"})
        EXPECT_TRUE(isValidUTF8(bytes)) << bytes;
}

TEST(ProcessRunner, AChildKilledByASignalIsNeverSuccess) {
    EXPECT_EQ(sh("kill -KILL $$").exitCode, 128 + SIGKILL);
    EXPECT_EQ(sh("kill -TERM $$").exitCode, 128 + SIGTERM);
    EXPECT_EQ(sh("exit 0").exitCode, 0);
    EXPECT_EQ(sh("exit 255").exitCode, 255);
}

TEST(ProcessRunner, ChildrenDoNotInheritBlockedOrIgnoredSignals) {
    // Long-running commands block SIGTERM and SIGINT in their threads so that one watcher
    // takes them; the programs they start must still stop when told to. grep reports
    // its own signal state as the kernel sees it (a shell would reset its mask itself).
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    auto previousPipe = std::signal(SIGPIPE, SIG_IGN);
    CommandResult result;
    {
        Watchdog watchdog(60);
        result = ProcessCommandRunner().run("/bin/grep", {"-E", "^Sig(Blk|Ign):", "/proc/self/status"});
    }
    std::signal(SIGPIPE, previousPipe);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    auto maskOf = [&](const std::string& field) -> unsigned long long {
        auto at = result.standardOutput.find(field + ":");
        if (at == std::string::npos) return ~0ull;
        return std::strtoull(result.standardOutput.c_str() + at + field.size() + 1, nullptr, 16);
    };
    EXPECT_EQ(maskOf("SigBlk"), 0ull) << result.standardOutput;
    EXPECT_EQ(maskOf("SigIgn") & (1ull << (SIGPIPE - 1)), 0ull) << result.standardOutput;

    // The same from the other side: a shell's own child stops on SIGTERM.
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    const auto stopped = sh("/bin/sleep 10 & kill -TERM $!; wait $!; exit $?");
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    EXPECT_EQ(stopped.exitCode, 128 + SIGTERM);
}

TEST(ProcessRunner, LaunchFailuresAreFullSentences) {
    tt::TempDir dir;
    const fs::path plain = dir / "not-executable";
    tt::writeFile(plain, "#!/bin/sh\nexit 0\n");
    ::chmod(plain.c_str(), 0644);
    EXPECT_EQ(launchErrorText((dir / "limactl").string()), "The file \u201climactl\u201d doesn\u2019t exist.");
    EXPECT_EQ(launchErrorText((dir / "missing-folder" / "limactl").string()),
              "The file \u201climactl\u201d doesn\u2019t exist.");
    EXPECT_EQ(launchErrorText(plain.string()), "You don\u2019t have permission to run \u201cnot-executable\u201d.");
    EXPECT_EQ(launchErrorText(dir.path().string()),
              "You don\u2019t have permission to run \u201c" + dir.path().filename().string() + "\u201d.");
    try {
        ProcessCommandRunner().runInteractive((dir / "limactl").string(), {});
        ADD_FAILURE() << "no launch error";
    } catch (const LaunchError& error) {
        EXPECT_EQ(error.code(), ENOENT);
    }
}

TEST(ProcessRunner, InteractiveRunsReportTheStatus) {
    Watchdog watchdog(60);
    ProcessCommandRunner runner;
    EXPECT_EQ(runner.runInteractive("/bin/sh", {"-c", "exit 7"}), 7);
    EXPECT_EQ(runner.runInteractive("/bin/sh", {"-c", "kill -TERM $$"}), 128 + SIGTERM);
    // Whatever the terminal situation, SIGTTOU handling is as it was before.
    struct sigaction after {};
    sigaction(SIGTTOU, nullptr, &after);
    EXPECT_EQ(after.sa_handler, SIG_DFL);
}

TEST(ProcessRunner, DefaultInteractiveRunReturnsOnlyTheStatus) {
    struct Scripted : CommandRunning {
        std::vector<std::string> seen;
        CommandResult run(const std::string& executable, const std::vector<std::string>& arguments) override {
            seen.push_back(executable);
            seen.insert(seen.end(), arguments.begin(), arguments.end());
            return CommandResult{9, "out", "err"};
        }
    } scripted;
    EXPECT_EQ(scripted.runInteractive("/x/limactl", {"shell", "tessaron"}), 9);
    EXPECT_EQ(scripted.seen, (std::vector<std::string>{"/x/limactl", "shell", "tessaron"}));
}

// A run given up on, by its time-out or by a stop request, ends the child and whatever it started;
// one that ends by itself leaves what it started alone.
TEST(ProcessRunner, BoundedRunsEndWhatTheyStartedOnlyWhenGivenUpOn) {
    using namespace std::chrono_literals;
    tt::TempDir dir;
    const std::string pidFile = (dir / "grandchild").string();
    const auto grandchild = [&] { return static_cast<pid_t>(std::stol(tt::readFile(pidFile))); };
    const std::string starts = "sleep 60 & echo $! > '" + pidFile + "'; ";
    Watchdog watchdog(60);

    struct Case {
        const char* name;
        std::string body;
        bool stopRequested;
        bool grandchildLeft;
    };
    const std::vector<Case> cases = {
        {"time-out", starts + "trap '' TERM; exec sleep 60", false, false},
        {"stop request", starts + "exec sleep 60", true, false},
        {"ends by itself", starts + "echo done", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(pidFile);
        std::stop_source stop;
        std::jthread stopper([&] {
            if (!c.stopRequested) return;
            // Once the grandchild's ID is written whole (the file exists a moment before).
            while (!fs::exists(pidFile) || !tt::readFile(pidFile).ends_with('\n')) std::this_thread::sleep_for(10ms);
            stop.request_stop();
        });
        const auto started = std::chrono::steady_clock::now();
        const BoundedRun run = runBounded("/bin/sh", {"-c", c.body}, c.stopRequested ? 30s : 1500ms, 1024, 300ms,
                                          stop.get_token());
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
        EXPECT_EQ(run.stopped, c.stopRequested);
        EXPECT_EQ(run.timedOut, !c.stopRequested && !c.grandchildLeft);
        EXPECT_EQ(run.standardOutput, c.grandchildLeft ? "done\n" : "");
        if (c.grandchildLeft) EXPECT_TRUE(tt::processRunning(grandchild()));
        else EXPECT_TRUE(tt::processEnds(grandchild()));
        ::kill(grandchild(), SIGKILL);
    }
}

// Descriptors this process holds without close-on-exec (as a library's sockets are, the edge
// tunnel's among them) are not a child's: whichever way it is run, it gets its standard
// streams and nothing else.
TEST(ProcessRunner, ChildrenInheritOnlyTheirStandardStreams) {
    using namespace std::chrono_literals;
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    const int high = ::fcntl(socket, F_DUPFD, 300);
    const int file = ::open("/dev/null", O_RDONLY);
    ASSERT_TRUE(socket >= 0 && high >= 300 && file >= 0);
    tt::TempDir dir;
    const std::string listingFile = (dir / "listing").string();
    const std::vector<std::string> listing{"-l", "/proc/self/fd/"};
    Watchdog watchdog(60);

    const std::vector<std::pair<const char*, std::function<std::string()>>> paths = {
        {"captured", [&] { return ProcessCommandRunner().run("/bin/ls", listing).standardOutput; }},
        {"bounded", [&] { return runBounded("/bin/ls", listing, 30s, 1 << 20).standardOutput; }},
        {"interactive", [&] {
             // The child writes to this process's own standard output: a file for the run.
             std::fflush(stdout);
             const int saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
             const int to = ::open(listingFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
             ::dup2(to, STDOUT_FILENO);
             ::close(to);
             ProcessCommandRunner().runInteractive("/bin/ls", listing);
             ::dup2(saved, STDOUT_FILENO);
             ::close(saved);
             return tt::readFile(listingFile);
         }},
    };
    for (const auto& [path, run] : paths) {
        SCOPED_TRACE(path);
        const std::string output = run();
        // Lines "lr-x------ 1 root root 64 Dec 10 12:00 3 -> /proc/4242/fd": the one for the
        // folder ls itself reads is not inherited.
        std::set<int> inherited;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            const auto arrow = line.find(" -> ");
            if (arrow == std::string::npos) continue;
            const std::string target = line.substr(arrow + 4);
            if (target.starts_with("/proc/") && target.ends_with("/fd")) continue;
            inherited.insert(std::stoi(line.substr(line.rfind(' ', arrow - 1) + 1)));
        }
        EXPECT_EQ(inherited, (std::set<int>{0, 1, 2})) << output;
    }
    ::close(socket);
    ::close(high);
    ::close(file);
}

// With a standard stream of this process closed or close-on-exec, every path still starts
// its child, and the Mac's spawn names only the standard streams that can be passed on. Each
// row runs in a forked process of its own, which reports what it found on a pipe. The forked
// process allocates and starts threads, so this process has no thread of its own when it
// forks (a lock another thread held at the fork would stay locked in the child): its wait
// for each report is bounded instead of a watchdog's.
TEST(ProcessRunner, ChildrenStartWhateverStandardStreamsThisProcessHasClosed) {
    using namespace std::chrono_literals;
    // Closed, close-on-exec, set up for the child, and the streams to be named ("0 1 2 ").
    const std::vector<std::tuple<std::set<int>, std::set<int>, std::array<bool, 3>, std::string>> rows = {
        {{}, {}, {}, "0 1 2 "},        {{0}, {}, {}, "1 2 "},        {{1}, {}, {}, "0 2 "},
        {{2}, {}, {}, "0 1 "},         {{0, 1, 2}, {}, {}, ""},      {{}, {}, {false, true, true}, "0 "},
        {{}, {0}, {}, "1 2 "},         {{0}, {}, {false, true, true}, ""},
    };
    for (const auto& [closed, closeOnExec, setUp, inherited] : rows) {
        SCOPED_TRACE(inherited);
        int report[2];
        ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int fd : closed) ::close(fd);
            for (int fd : closeOnExec) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            std::string lines;
            for (int fd : inheritedStandardStreams(setUp)) lines += std::to_string(fd) + " ";
            try {
                lines += "\n" + ProcessCommandRunner().run("/bin/sh", {"-c", "echo captured"}).standardOutput;
                lines += runBounded("/bin/sh", {"-c", "echo bounded"}, 30s, 1 << 20).standardOutput;
                lines += "interactive " + std::to_string(ProcessCommandRunner().runInteractive("/bin/true", {})) + "\n";
            } catch (const std::exception& e) {
                lines += std::string("failed: ") + e.what() + "\n";
            }
            std::_Exit(::write(report[1], lines.data(), lines.size()) == static_cast<ssize_t>(lines.size()) ? 0 : 1);
        }
        ::close(report[1]);
        std::string reported(4096, '\0');
        pollfd waiting{report[0], POLLIN, 0};
        const bool came = ::poll(&waiting, 1, 60'000) > 0;
        reported.resize(came ? static_cast<std::size_t>(std::max<ssize_t>(0, ::read(report[0], reported.data(), reported.size())))
                             : 0);
        ::close(report[0]);
        if (!came) ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ASSERT_TRUE(came) << "the forked process did not report within 60 s";
        EXPECT_EQ(reported, inherited + "\ncaptured\nbounded\ninteractive 0\n");
    }
}
