// The setup run against the scripted tessaron: the checks before a run, and what the streamed
// output of `onboard` does to the model (codes, links, stages, connection lines), including
// output split across reads and bytes that are not UTF-8.

#include "desktop/model_harness.h"
#include "panel/setup_progress.h"

#include <fstream>

namespace tessaron::desktop {
namespace {

using namespace testing;
using json::Json;
namespace fs = std::filesystem;

Json out(const std::string& text) { return Json{{"out", text}}; }
Json hex(const std::string& bytes) { return Json{{"outHex", bytes}}; }
Json pause() { return Json{{"pauseMs", 150}}; }

std::string event(const std::string& stage, double updatedAt, const std::string& id = "s1",
                  const std::string& code = "") {
    Json progress{{"stage", stage}, {"updatedAt", updatedAt}, {"id", id}};
    if (!code.empty()) progress["code"] = code;
    return "TESSARON_SETUP_STATE " + progress.dump() + "\n";
}

class SetupRunnerTest : public ::testing::Test {
protected:
    SetupRunnerTest() { application(); }

    std::unique_ptr<DesktopModel> makeModel(DesktopModelOptions options) {
        auto made = std::make_unique<DesktopModel>(ScriptedTessaron::program(), opener, std::move(options));
        QObject::connect(made.get(), &DesktopModel::refreshCompleted, made.get(), [this] { ++refreshes; });
        QObject::connect(made.get(), &DesktopModel::setupStageChanged, made.get(),
                         [this, model = made.get()] { stages.push_back(model->setupStage().toStdString()); });
        QObject::connect(made.get(), &DesktopModel::connectionChanged, made.get(),
                         [this, model = made.get()] { connections.push_back(model->connection().toStdString()); });
        made->setControl("https://panel.test");
        return made;
    }
    // Runs one setup whose `onboard` prints `steps` and exits with `exit`; waits for its end.
    void runSetup(DesktopModel& model, const Json& steps, int exit) {
        tessaron.script({{"onboard", {{"steps", steps}, {"exit", exit}}}, {"server status", {{"exit", 1}}}});
        const int before = refreshes;
        model.setup();
        ASSERT_TRUE(model.hasSetupChild());
        ASSERT_TRUE(waitUntil([&] { return refreshes > before; }));
        EXPECT_FALSE(model.settingUp());
        EXPECT_FALSE(model.running());
    }

    TempHome home;
    ScriptedTessaron tessaron;
    RecordingOpener opener;
    int refreshes = 0;
    std::vector<std::string> stages;
    std::vector<std::string> connections;
};

TEST_F(SetupRunnerTest, ChecksBeforeARun) {
    struct Case {
        const char* name;
        std::function<void(DesktopModelOptions&)> options;
        const char* control;
        const char* error;  // "" when the run starts
    };
    const auto keep = [](DesktopModelOptions&) {};
    const char* badAddress = "Enter an HTTPS control-server address, without a path or password.";
    const char* lowSpace = "Free at least 10 GiB before creating the VM. Its disk grows as you use it.";
    const HardwareSupportReport intel{{"x86_64", "Intel", "Mac1,1", 8, 16ull << 30, 14},
                                      {HardwareRejection::requiresAppleSilicon}};
    const Case cases[] = {
        {"unsupported Mac", [&](DesktopModelOptions& o) { o.support = intel; }, "https://panel.test",
         nullptr},
        {"not installed", [&](DesktopModelOptions& o) { o.bundle = home.path() / "Downloads" / "Tessaron.app"; },
         "https://panel.test", "Use Move to Applications below, or quit Tessaron and drag it there yourself."},
        {"plain http", keep, "http://panel.test", badAddress},
        {"upper-case scheme", keep, "HTTPS://panel.test", badAddress},
        {"user name", keep, "https://me@panel.test", badAddress},
        {"path", keep, "https://panel.test/console", badAddress},
        {"query", keep, "https://panel.test/?a=b", badAddress},
        {"not a URL", keep, "panel.test", badAddress},
        {"under 10 GiB free",
         [](DesktopModelOptions& o) { o.freeSpace = [](const auto&) { return std::optional<std::uint64_t>((10ull << 30) - 1); }; },
         "https://panel.test", lowSpace},
        {"free space unreadable",
         [](DesktopModelOptions& o) { o.freeSpace = [](const auto&) { return std::optional<std::uint64_t>(); }; },
         "https://panel.test", lowSpace},
        {"exactly 10 GiB free",
         [](DesktopModelOptions& o) { o.freeSpace = [](const auto&) { return std::optional<std::uint64_t>(10ull << 30); }; },
         "https://panel.test", ""},
        {"loopback panel over http", keep, "http://127.0.0.1:8080/", ""},
    };
    for (const auto& c : cases) {
        DesktopModelOptions options = quietOptions(home.path());
        c.options(options);
        auto model = makeModel(options);
        model->setControl(c.control);
        tessaron.script({{"onboard", Json::object()}, {"server status", {{"exit", 1}}}});
        const std::size_t before = tessaron.calls().size();
        model->setup();
        const std::string expected = c.error ? c.error : intel.explanation();
        EXPECT_EQ(model->error().toStdString(), expected) << c.name;
        if (!expected.empty()) {
            EXPECT_FALSE(model->settingUp()) << c.name;
            EXPECT_FALSE(model->showingSetup()) << c.name;
            settle(0.05);
            EXPECT_EQ(tessaron.calls().size(), before) << c.name;
            continue;
        }
        EXPECT_TRUE(model->settingUp());
        EXPECT_EQ(model->connection(), "Setting up your Mac\u2026");
        ASSERT_TRUE(waitUntil([&] { return !model->settingUp(); }));
        EXPECT_EQ(tessaron.calls().at(before), "onboard --control " + std::string(c.control) + " --cpus " +
                                                   std::to_string(model->cpu()) + " --memory-gib " +
                                                   std::to_string(model->memory()));
    }

    // A bundle without its program cannot set up.
    DesktopModel missing(home.path() / "nowhere" / "tessaron", opener, quietOptions(home.path()));
    missing.setControl("https://panel.test");
    missing.setup();
    EXPECT_EQ(missing.error(), "The app is missing its connection helper. Reinstall the complete Tessaron.app bundle.");
    EXPECT_EQ(missing.setupStage(), "failed");
    EXPECT_FALSE(missing.settingUp());
}

TEST_F(SetupRunnerTest, TheStreamDrivesTheSetupCard) {
    const std::string approve = "Approve this Mac in the web panel with code: ";
    const std::string failed =
        "Setup could not finish. Review the activity log, then resume setup. Your existing server and files are "
        "preserved.";
    struct Case {
        const char* name;
        Json steps;
        int exit;
        std::vector<std::string> stages;
        std::string code;  // after the run
        std::string url;   // "" for none
        std::string logEnd;
        std::string error;
        std::vector<std::string> connections;  // those the stream set, in order
    };
    const Case cases[] = {
        {"text lines, then a failure",
         {out(approve + "ABCD-1234\n"), out("Setup link: https://panel.test/console/connect?setup=s1\n"),
          out("Account approved. Preparing your Linux server\u2026\n"), out("Creating the single Tessaron Linux VM\u2026\n")},
         1, {"awaiting_account", "approved", "creating_vm", "failed"}, "",
         "https://panel.test/console/connect?setup=s1", "VM\u2026\n", failed, {}},
        {"progress events win over text",
         {out(event("awaiting_account", 10, "s1", "WXYZ-0001")), out(event("approved", 5)),
          out(event("linking", 20, "other")), out(event("creating_vm", 10)), out("Account approved. Preparing\n"),
          out(approve + "QQQQ-0002\n")},
         0, {"awaiting_account", "creating_vm"}, "QQQQ-0002", "", "QQQQ-0002\n", "", {}},
        {"a line split across reads", {out(approve + "WX"), pause(), out("YZ-0003\nAccount appr"), pause(), out("oved.\n")},
         0, {"awaiting_account", "approved"}, "WXYZ-0003", "", "approved.\n", "", {}},
        {"a character split across reads",
         {out("Creating the single Tessaron Linux VM"), hex("e280"), pause(), hex("a60a")}, 0,
         {"creating_vm"}, "", "", "Linux VM\u2026\n", "", {}},
        {"bytes that are not UTF-8", {hex("ff41fe0a"), out("tail without a line feed")}, 0, {}, "", "",
         "\uFFFDA\uFFFD\ntail without a line feed", "", {}},
        {"setup links of other pages", {out("Setup link: https://other.test/console/connect?setup=s\n"),
          out("Setup link: https://panel.test:8443/console/connect\n"),
          out("Setup link: https://panel.test/console/connect/x\n"),
          out("Setup link: https://me@panel.test/console/connect\n")},
         0, {}, "", "", "connect\n", "", {}},
        {"a progress event as long as a panel's answer",
         {out("TESSARON_SETUP_STATE " +
              Json{{"stage", "awaiting_account"}, {"updatedAt", 1}, {"id", "s1"}, {"code", "LONG-0001"},
                   {"accountEmail", std::string(64 * 1024, 'e')}}
                  .dump() +
              "\n")},
         0, {"awaiting_account"}, "LONG-0001", "", "\"updatedAt\":1}\n", "", {}},
        {"connection lines", {out("WireGuard connected.\n"), out("Network reconnect pending: 2 s\n"),
          out("Guest networking configured.\n")},
         0, {}, "", "", "configured.\n", "",
         {"Setting up your Mac\u2026", "Connected", "Reconnecting\u2026", "Finishing your connection\u2026"}},
    };
    for (const auto& c : cases) {
        auto model = makeModel(quietOptions(home.path()));
        stages.clear();
        connections.clear();
        runSetup(*model, c.steps, c.exit);
        EXPECT_EQ(stages, c.stages) << c.name;
        EXPECT_EQ(model->pairingCode().toStdString(), c.code) << c.name;
        EXPECT_EQ(model->setupURL() ? model->setupURL()->toString().toStdString() : "", c.url) << c.name;
        EXPECT_TRUE(model->log().endsWith(QString::fromStdString(c.logEnd))) << c.name << ": " << model->log().toStdString();
        EXPECT_EQ(model->error().toStdString(), c.error) << c.name;
        EXPECT_TRUE(model->showingSetup()) << c.name;
        std::vector<std::string> streamed(connections.begin(), connections.end());
        // The refresh after the run reads the status (scripted to fail) last.
        if (!streamed.empty() && streamed.back() == "Connection unknown") streamed.pop_back();
        EXPECT_EQ(streamed, c.connections.empty() ? std::vector<std::string>{"Setting up your Mac\u2026"} : c.connections)
            << c.name;
    }
}

TEST_F(SetupRunnerTest, RunsStartAfreshAndTheLogKeepsItsTail) {
    auto model = makeModel(quietOptions(home.path()));
    // A run that ends in mid-line leaves nothing for the next run's first line.
    runSetup(*model, Json{out("Approve this Mac in the web panel with code: OLD")}, 1);
    EXPECT_EQ(model->partialLine(), "Approve this Mac in the web panel with code: OLD");
    runSetup(*model, Json{out("\n"), out("Account approved.\n")}, 0);
    EXPECT_EQ(model->pairingCode(), "");
    EXPECT_EQ(model->setupStage(), "approved");
    EXPECT_EQ(model->error(), "");

    // The log keeps the newest 24,000 characters.
    const std::string big(30'000, 'x');
    runSetup(*model, Json{out(big.substr(0, 20'000)), pause(), out(big.substr(20'000) + "\nend\n")}, 0);
    EXPECT_EQ(model->log().size(), 24'000);
    EXPECT_TRUE(model->log().endsWith("x\nend\n"));
}

TEST_F(SetupRunnerTest, TheStreamStaysBoundedEachExitIsItsRunsAndQuittingEndsTheChild) {
    // The first `onboard` fails at once; the second floods 20 MB without a line break, then
    // prints a code and hangs, ignoring SIGTERM, with a child of its own. The status read of the
    // refresh after the first run waits for the test, until the second run is under way.
    TempDir dir;
    const fs::path program = dir / "tessaron";
    tessaron::testing::writeFile(program, "#!/bin/sh\nd='" + dir.path().string() + R"('
echo $$ >> "$d/pids"
case "$1" in
  onboard)
    if [ ! -e "$d/first" ]; then : > "$d/first"; echo 'Approve this Mac in the web panel with code: OLD-0001'; exit 1; fi
    head -c 20000000 /dev/zero | tr '\000' x
    printf '\nApprove this Mac in the web panel with code: NEW-0002\n'
    sleep 60 & echo $! >> "$d/pids"
    trap '' TERM
    exec sleep 60 ;;
  server) while [ ! -e "$d/gate" ]; do sleep 0.05; done; echo '{"tunnelState":"offline"}' ;;
esac
)");
    fs::permissions(program, fs::perms::owner_all);
    DesktopModel model(program, opener, quietOptions(home.path()));
    model.setControl("https://panel.test");

    model.setup();
    ASSERT_TRUE(waitUntil([&] { return !model.settingUp(); }));
    model.setup();
    ASSERT_TRUE(model.settingUp());
    qsizetype longestLine = 0;
    ASSERT_TRUE(waitUntil([&] {
        longestLine = std::max(longestLine, model.partialLine().size());
        return model.pairingCode() == "NEW-0002";
    }));
    EXPECT_LE(longestLine, static_cast<qsizetype>(SetupProgressEvent::maximumLineBytes));
    tessaron::testing::writeFile(dir / "gate", "");
    ASSERT_TRUE(waitUntil([&] { return model.connection() == "Offline"; }));
    settle();
    EXPECT_EQ(model.error().toStdString(), "") << "the first run's failure is not the second's";
    EXPECT_EQ(model.setupStage().toStdString(), "awaiting_account");

    std::vector<pid_t> pids;
    ASSERT_TRUE(waitUntil([&] {
        std::ifstream file(dir / "pids");
        pids.clear();
        for (long pid; file >> pid;) pids.push_back(static_cast<pid_t>(pid));
        return pids.size() == 4;  // two runs of onboard, the status read, the second run's child
    }));
    const auto begun = std::chrono::steady_clock::now();
    model.shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(8));
    for (const pid_t pid : pids) EXPECT_TRUE(tessaron::testing::processEnds(pid)) << pid;
    EXPECT_FALSE(model.hasSetupChild());
}

}  // namespace
}  // namespace tessaron::desktop
