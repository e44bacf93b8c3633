// The desktop model's runs of `tessaron` against hostile stand-ins (shell scripts): each run ends
// within its time-out and grace, keeps at most 64 KiB of output, shows a readable failure, leaves
// nothing running, and quitting ends the runs in flight.

#include "desktop/model_harness.h"

#include "support/limactl_standin.h"

#include <csignal>
#include <fstream>

namespace tessaron::desktop {
namespace {

using namespace testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

const std::string statusLine =
    R"({"tunnelState":"connected","vmState":"Running","agentState":"running","publishingPaused":false,"canRestart":true})";

class BoundedRuns : public ::testing::Test {
protected:
    BoundedRuns() { application(); }

    // A `tessaron` that runs `hostile` for `command` ("server status", "server disconnect",
    // "vm stop") and answers the status read well otherwise. `$pids` collects the processes
    // it starts.
    std::unique_ptr<DesktopModel> modelOn(const std::string& command, const std::string& hostile,
                                          std::chrono::milliseconds timeout) {
        const fs::path program = dir / "tessaron";
        tessaron::testing::writeFile(
            program, "#!/bin/sh\npids='" + pids.string() + "'\necho $$ >> \"$pids\"\ncase \"$1 $2\" in\n  '" + command +
                         "') " + hostile + " ;;\n  'server status') echo '" + statusLine + "' ;;\n  *) exit 1 ;;\nesac\n");
        fs::permissions(program, fs::perms::owner_all);
        fs::remove(pids);
        DesktopModelOptions options = quietOptions(home.path());
        options.limactl = tessaron::testing::limactlPath().string();
        options.timeouts = {timeout, timeout, timeout, timeout, timeout, timeout, 500ms};
        auto model = std::make_unique<DesktopModel>(program, opener, options);
        QObject::connect(model.get(), &DesktopModel::statusReadCompleted, model.get(), [this] { ++statusReads; });
        QObject::connect(model.get(), &DesktopModel::refreshCompleted, model.get(), [this] { ++refreshes; });
        using Field = const QString& (DesktopModel::*)() const;
        for (const auto& [signal, field] : {std::pair{&DesktopModel::connectionChanged, Field(&DesktopModel::connection)},
                                            {&DesktopModel::connectionDetailChanged, &DesktopModel::connectionDetail},
                                            {&DesktopModel::lifecycleErrorChanged, &DesktopModel::lifecycleError}})
            QObject::connect(model.get(), signal, model.get(),
                             [this, m = model.get(), field] { shown.push_back((m->*field)()); });
        return model;
    }
    std::vector<pid_t> started() const {
        std::vector<pid_t> found;
        std::ifstream file(pids);
        for (long pid; file >> pid;) found.push_back(static_cast<pid_t>(pid));
        return found;
    }

    TempHome home;
    TempDir dir;
    fs::path pids = dir / "pids";
    tessaron::testing::StandinLimaHome lima;
    RecordingOpener opener;
    int statusReads = 0;
    int refreshes = 0;
    std::vector<QString> shown;  // every connection headline, detail and lifecycle error, in order
};

TEST_F(BoundedRuns, HostileProgramsEndInTimeWithAReadableFailure) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    const std::string grandchild = "sleep 60 & echo $! >> \"$pids\"; ";
    const QString unresponsive = "The connection check did not respond in time.";
    struct Case {
        const char* name;
        const char* command;  // the run that misbehaves
        std::string hostile;
        std::chrono::milliseconds timeout;
        std::function<bool(const QString&)> expected;  // of one text shown
        bool leavesGrandchild = false;                 // a program that exits leaves what it started
    };
    const auto is = [](QString text) { return [text](const QString& shown) { return shown == text; }; };
    const Case cases[] = {
        {"hangs", "server status", "exec sleep 60", 1500ms, is(unresponsive)},
        {"ignores SIGTERM", "server status", "trap '' TERM; exec sleep 60", 1500ms, is(unresponsive)},
        {"leaves a grandchild when timed out", "server status", grandchild + "exec sleep 60", 1500ms, is(unresponsive)},
        {"holds the pipe after valid JSON", "server status", grandchild + "echo '" + statusLine + "'", 20s,
         is("Connected"), true},
        {"floods standard output", "server status", "head -c 200000000 /dev/zero", 60s,
         is("The data couldn\u2019t be read because it isn\u2019t in the correct format.")},
        {"floods standard error", "server status", "head -c 50000000 /dev/zero | tr '\\000' e >&2; exit 1", 60s,
         is(QString(64 * 1024, 'e'))},
        {"writes invalid UTF-8", "server status", "printf ' bad \\377 byte \\n' >&2; exit 1", 20s,
         is("bad \uFFFD byte")},
        {"hangs a server action", "server disconnect", grandchild + "trap '' TERM; exec sleep 60", 1500ms,
         is("Could not confirm the request. Check status before trying again.")},
        {"hangs turning the VM off", "vm stop", grandchild + "exec sleep 60", 1500ms,
         is("The server did not respond. Check its status before trying again.")},
    };
    const long peakBefore = peakResidentKiB();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string command = c.command;
        auto model = modelOn(command, c.hostile, c.timeout);
        if (command != "server status") {
            const int refreshed = refreshes;
            model->refresh();  // the VM, and the public access
            ASSERT_TRUE(waitUntil([&] { return refreshes > refreshed; }, 90));
            fs::remove(pids);
            shown.clear();
        }
        const int read = statusReads;
        const auto begun = Clock::now();
        if (command == "server status")
            model->refreshConnection();
        else if (command == "vm stop")
            model->performPower("stop");
        else
            model->performLifecycle("disconnect");
        ASSERT_TRUE(waitUntil([&] { return statusReads > read && !model->resourceActionsBusy(); }, 90));
        EXPECT_LT(Clock::now() - begun, c.timeout + 10s);

        EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), c.expected));
        for (const QString& text : shown) EXPECT_LE(text.size(), 64 * 1024);
        EXPECT_FALSE(model->refreshingAccess());
        EXPECT_FALSE(model->lifecycleAction());
        EXPECT_FALSE(model->powerAction());
        const auto processes = started();
        ASSERT_FALSE(processes.empty());
        for (std::size_t i = 0; i < processes.size(); ++i) {
            const bool left = c.leavesGrandchild && i == 1;
            EXPECT_EQ(tessaron::testing::processRunning(processes[i]), left) << "process " << i;
            if (left) ::kill(processes[i], SIGKILL);
        }
    }
    EXPECT_LT(peakResidentKiB() - peakBefore, 64 * 1024) << "a flood is not held in memory";
}

TEST_F(BoundedRuns, QuittingEndsTheRunsInFlight) {
    auto model = modelOn("server status", "sleep 60 & echo $! >> \"$pids\"; trap '' TERM; exec sleep 60", 60s);
    model->refreshConnection();
    ASSERT_TRUE(waitUntil([&] { return started().size() == 2; }));
    const auto begun = Clock::now();
    model->shutdown();
    EXPECT_LT(Clock::now() - begun, 5s);
    for (const pid_t pid : started()) EXPECT_FALSE(tessaron::testing::processRunning(pid));
    settle();
    EXPECT_EQ(model->connection(), "Checking connection\u2026") << "a stopped run changes nothing";
}

}  // namespace
}  // namespace tessaron::desktop
