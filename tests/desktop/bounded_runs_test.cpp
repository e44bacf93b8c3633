// The desktop model's runs of `tessaron` against hostile stand-ins (shell scripts): each run ends
// within its time-out and grace with a readable, bounded failure and nothing left running, and
// quitting ends the runs in flight.

#include "desktop/model_harness.h"

#include "support/limactl_standin.h"

#include <csignal>
#include <fstream>

namespace tessaron::desktop {
namespace {

using namespace testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

TEST(BoundedRuns, HostileProgramsEndInTimeWithAReadableFailureAndQuittingEndsThem) {
    application();
    TempHome home;
    TempDir dir;
    RecordingOpener opener;
    tessaron::testing::StandinLimaHome lima;
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    const std::string pids = (dir / "pids").string();
    const std::string ok =
        R"({"tunnelState":"connected","vmState":"Running","agentState":"running","publishingPaused":false})";
    std::vector<QString> shown;  // the connection headline, detail and lifecycle error after each change
    // A model on a `tessaron` that runs `hostile` for `command` and reads the status well
    // otherwise; every process it starts is listed in `pids`.
    const auto modelOn = [&](const std::string& command, const std::string& hostile, std::chrono::milliseconds timeout) {
        tessaron::testing::writeFile(dir / "tessaron", "#!/bin/sh\necho $$ >> '" + pids + "'\ncase \"$1 $2\" in\n'" +
                                                           command + "') " + hostile + " ;;\n'server status') echo '" +
                                                           ok + "' ;;\nesac\n");
        std::filesystem::permissions(dir / "tessaron", std::filesystem::perms::owner_all);
        DesktopModelOptions options = quietOptions(home.path());
        options.limactl = tessaron::testing::limactlPath().string();
        options.timeouts = {timeout, timeout, timeout, timeout, timeout, timeout, 500ms};
        auto model = std::make_unique<DesktopModel>(dir / "tessaron", opener, options);
        QObject::connect(model.get(), &DesktopModel::changed, model.get(), [&shown, m = model.get()] {
            shown.insert(shown.end(), {m->connection(), m->connectionDetail(), m->lifecycleError()});
        });
        return model;
    };
    const auto started = [&] {
        std::vector<pid_t> found;
        std::ifstream file(pids);
        for (long pid; file >> pid;) found.push_back(static_cast<pid_t>(pid));
        return found;
    };

    const std::string grandchild = "sleep 60 & echo $! >> '" + pids + "'; ";
    const QString unresponsive = "The connection check did not respond in time.";
    struct Case {
        const char* name;
        std::string command;  // the run that misbehaves
        std::string hostile;
        std::chrono::milliseconds timeout;
        QString expected;       // among the texts shown
        bool leavesGrandchild;  // a program that exits by itself leaves what it started alone
    };
    const Case cases[] = {
        {"hangs", "server status", "exec sleep 60", 1500ms, unresponsive, false},
        {"ignores SIGTERM", "server status", "trap '' TERM; exec sleep 60", 1500ms, unresponsive, false},
        {"leaves a grandchild when timed out", "server status", grandchild + "exec sleep 60", 1500ms, unresponsive, false},
        {"holds the pipe after valid JSON", "server status", grandchild + "echo '" + ok + "'", 20s, "Connected", true},
        {"floods standard output", "server status", "head -c 200000000 /dev/zero", 60s,
         "The data couldn\u2019t be read because it isn\u2019t in the correct format.", false},
        {"floods standard error", "server status", "head -c 50000000 /dev/zero | tr '\\000' e >&2; exit 1", 60s,
         QString(64 * 1024, 'e'), false},
        {"writes invalid UTF-8", "server status", "printf ' bad \\377 byte \\n' >&2; exit 1", 20s, "bad \uFFFD byte",
         false},
        {"hangs a server action", "server disconnect", grandchild + "trap '' TERM; exec sleep 60", 1500ms,
         "Could not confirm the request. Check status before trying again.", false},
        {"hangs turning the VM off", "vm stop", grandchild + "exec sleep 60", 1500ms,
         "The server did not respond. Check its status before trying again.", false},
    };
    const long peakBefore = peakResidentKiB();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto model = modelOn(c.command, c.hostile, c.timeout);
        if (c.command != "server status") {  // an action needs the VM and public access known
            bool refreshed = false;
            QObject::connect(model.get(), &DesktopModel::refreshCompleted, model.get(), [&] { refreshed = true; });
            model->refresh();
            ASSERT_TRUE(waitUntil([&] { return refreshed; }, 90));
        }
        std::filesystem::remove(pids);
        shown.clear();
        bool statusRead = false;
        QObject::connect(model.get(), &DesktopModel::statusReadCompleted, model.get(), [&] { statusRead = true; });
        const auto begun = Clock::now();
        if (c.command == "server status") model->refreshConnection();
        if (c.command == "vm stop") model->performPower("stop");
        if (c.command == "server disconnect") model->performLifecycle("disconnect");
        ASSERT_TRUE(
            waitUntil([&] { return statusRead && !model->resourceActionsBusy() && !model->refreshingAccess(); }, 90));
        EXPECT_LT(Clock::now() - begun, c.timeout + 10s);
        EXPECT_NE(std::find(shown.begin(), shown.end(), c.expected), shown.end());
        for (const QString& text : shown) EXPECT_LE(text.size(), 64 * 1024);
        const auto processes = started();
        ASSERT_FALSE(processes.empty());
        for (std::size_t i = 0; i < processes.size(); ++i) {
            const bool left = c.leavesGrandchild && i == 1;
            if (left) EXPECT_TRUE(tessaron::testing::processRunning(processes[i])) << "process " << i;
            else EXPECT_TRUE(tessaron::testing::processEnds(processes[i])) << "process " << i;
            if (left) ::kill(processes[i], SIGKILL);
        }
    }
    EXPECT_LT(peakResidentKiB() - peakBefore, 64 * 1024) << "a flood is not held in memory";

    // Quitting ends a run in flight at once, with what it started, and its result is dropped.
    std::filesystem::remove(pids);
    auto quitting = modelOn("server status", grandchild + "trap '' TERM; exec sleep 60", 60s);
    quitting->refreshConnection();
    ASSERT_TRUE(waitUntil([&] { return started().size() == 2; }));
    const auto begun = Clock::now();
    quitting->shutdown();
    EXPECT_LT(Clock::now() - begun, 5s);
    for (const pid_t pid : started()) EXPECT_TRUE(tessaron::testing::processEnds(pid));
    settle();
    EXPECT_EQ(quitting->connection(), "Checking connection\u2026");
}

// A limactl that hangs holds up neither the refresh loop nor the quit.
TEST(BoundedRuns, AHungVMReadEndsInTime) {
    application();
    TempHome home;
    TempDir dir;
    RecordingOpener opener;
    const std::string pid = (dir / "pid").string();
    tessaron::testing::writeFile(dir / "limactl", "#!/bin/sh\necho $$ > '" + pid + "'\nexec sleep 60\n");
    std::filesystem::permissions(dir / "limactl", std::filesystem::perms::owner_all);
    DesktopModelOptions options = quietOptions(home.path());
    options.limactl = (dir / "limactl").string();
    options.timeouts.vmRead = 500ms;
    DesktopModel model(dir / "tessaron", opener, options);
    bool refreshed = false;
    QObject::connect(&model, &DesktopModel::refreshCompleted, &model, [&] { refreshed = true; });
    const auto begun = Clock::now();
    model.refresh();
    ASSERT_TRUE(waitUntil([&] { return refreshed; }, 60));
    EXPECT_LT(Clock::now() - begun, 20s);
    EXPECT_TRUE(tessaron::testing::processEnds(static_cast<pid_t>(std::stol(tessaron::testing::readFile(pid)))));
}

}  // namespace
}  // namespace tessaron::desktop
