// Runs of a stand-in `tessaron` (shell scripts) through the menu bar's runner: bounded
// output, the failure sentences, and programs that hang, ignore SIGTERM, start programs of
// their own or leave a grandchild holding their output.

#include "menubar/process_group.h"
#include "model/menu_command_runner.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

namespace tessaron::menubar {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class MenuCommandRunner : public ::testing::Test {
protected:
    testing::TempDir dir;

    fs::path script(const std::string& body) {
        const fs::path path = dir / "tessaron";
        testing::writeFile(path, "#!/bin/sh\n" + body + "\n");
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }
    MenuCommandResult run(const fs::path& program, std::chrono::milliseconds timeout = 20s,
                          std::chrono::milliseconds grace = 1s, std::stop_token stop = {}) {
        TessaronCommandRunner runner([program] { return std::optional<fs::path>(program); }, grace);
        return runner.run({"server", "status"}, timeout, std::move(stop));
    }
    pid_t recordedPid() { return static_cast<pid_t>(std::stol(testing::readFile(dir / "pid"))); }
};

TEST_F(MenuCommandRunner, ResultsOfProgramsThatEnd) {
    struct Case {
        const char* name;
        std::string body;
        MenuCommandResult expected;
    };
    const std::vector<Case> cases = {
        {"arguments reach it", R"(echo "$@")", {"server status\n", std::nullopt}},
        {"output beyond 64 KiB is dropped", "head -c 100000 /dev/zero | tr '\\000' a",
         {std::string(65536, 'a'), std::nullopt}},
        {"standard input is empty", "cat", {"", std::nullopt}},
        {"complaints on success are no failure", "echo warn >&2; echo ok", {"ok\n", std::nullopt}},
        {"silent failure", "exit 3", {"", failedWithoutReasonText}},
        {"the reason, trimmed, with the output", "printf partial; printf '  word \\n' >&2; exit 1", {"partial", "word"}},
        {"a white-space reason counts as none", "printf ' \\n\\t' >&2; exit 2", {"", failedWithoutReasonText}},
        {"bytes that are not UTF-8 are replaced", "printf 'bad \\377 byte' >&2; exit 1", {"", "bad \uFFFD byte"}},
        {"killed by a signal", "kill -9 $$", {"", failedWithoutReasonText}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(script(c.body)), c.expected);
    }
}

TEST_F(MenuCommandRunner, ProgramsThatCannotStartFailAtOnce) {
    const auto started = Clock::now();
    const MenuCommandResult expected{"", launchFailedText};
    EXPECT_EQ(run(dir / "missing"), expected);
    EXPECT_EQ(TessaronCommandRunner([] { return std::optional<fs::path>(); }).run({"server", "status"}, 20s, {}),
              expected);
    testing::writeFile(dir / "plain", "not a program");
    EXPECT_EQ(run(dir / "plain"), expected);
    EXPECT_LT(Clock::now() - started, 10s);
}

// Given up at its time-out, or at once when the menu bar quits (a stop request), a run ends
// its program and everything that program started, SIGTERM or not.
TEST_F(MenuCommandRunner, HangingProgramsAreEndedWithWhatTheyStarted) {
    testing::adoptOrphans();
    const std::string starts = "echo $$ > '" + (dir / "pid").string() +
                               "'; sleep 60 & sleep 60 & (trap '' TERM; sleep 60) & ";
    // Ignores SIGTERM from its first line on, and says so once everything has started.
    const std::string ignoresTerm =
        "trap '' TERM; " + starts + "touch '" + (dir / "ready").string() + "'; exec sleep 60";
    struct Case {
        const char* name;
        std::string body;
        std::chrono::milliseconds timeout;  // grace 600 ms
        std::chrono::milliseconds atLeast;
        bool stopped = false;  // stop requested once the program is ready
    };
    const std::vector<Case> cases = {
        {"ends on SIGTERM", starts + "echo early; exec sleep 60", 400ms, 400ms},
        {"ignores SIGTERM", ignoresTerm, 400ms, 1000ms},
        {"writes without pause", starts + "exec yes", 400ms, 400ms},
        {"given up on", ignoresTerm, 60s, 600ms, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir / "pid");
        fs::remove(dir / "ready");
        std::stop_source stop;
        std::jthread quitter([&] {
            if (!c.stopped) return;
            // The stop must find the program's trap set, or it would end at the SIGTERM.
            for (int i = 0; i < 3000 && !fs::exists(dir / "ready"); ++i) std::this_thread::sleep_for(10ms);
            stop.request_stop();
        });
        const auto started = Clock::now();
        EXPECT_EQ(run(script(c.body), c.timeout, 600ms, stop.get_token()), (MenuCommandResult{"", timedOutText}));
        const auto took = Clock::now() - started;
        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.atLeast + 8s);
        EXPECT_EQ(::kill(recordedPid(), 0), -1) << "the program is gone and reaped";
        EXPECT_TRUE(testing::groupEnds(recordedPid())) << "what it started is gone";
    }
}

TEST_F(MenuCommandRunner, AGrandchildHoldingTheOutputDoesNotHoldTheRun) {
    const auto started = Clock::now();
    const MenuCommandResult result =
        run(script("sleep 60 & echo $! > '" + (dir / "pid").string() + "'; echo done"), 20s);
    ::kill(recordedPid(), SIGKILL);
    EXPECT_EQ(result, (MenuCommandResult{"done\n", std::nullopt}));
    EXPECT_LT(Clock::now() - started, 10s);
}

TEST(MenuBarProgram, TessaronIsFourLevelsAboveTheMenuBarBundle) {
    for (const char* bundle : {"/Applications/Tessaron.app/Contents/Library/LoginItems/TessaronMenuBar.app",
                               "/Applications/Tessaron.app/Contents/Library/LoginItems/TessaronMenuBar.app/"}) {
        EXPECT_EQ(enclosingApplication(bundle), fs::path("/Applications/Tessaron.app"));
        EXPECT_EQ(tessaronProgram(bundle), fs::path("/Applications/Tessaron.app/Contents/MacOS/tessaron"));
    }
}

}  // namespace
}  // namespace tessaron::menubar
