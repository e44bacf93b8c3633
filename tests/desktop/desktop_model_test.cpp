// The desktop model against the scripted stand-in `tessaron` (and the stand-in limactl where it
// reads the VM): derived state of the refresh, busy flags, stale status reads, the server and
// power actions, resources, background hosting, panel pages and the Terminal launcher.

#include "desktop/model_harness.h"

#include "host/agent_configuration.h"
#include "support/limactl_standin.h"

#include <QLocale>

#include <sys/stat.h>

namespace tessaron::desktop {
namespace {

using namespace testing;
using json::Json;
namespace fs = std::filesystem;

Json answer(const std::string& out, int exit = 0, const std::string& err = "") {
    return Json{{"stdout", out}, {"stderr", err}, {"exit", exit}};
}

const std::string connectedLine =
    R"({"tunnelState":"connected","vmState":"Running","agentState":"running","publishingPaused":false,"canRestart":true})";
const std::string lifecycleLine = R"({"publishingPaused":true,"effectiveWithinSeconds":30,"canRestart":true})";
const std::string resourcesLine =
    R"({"cpu":4,"memoryGiB":8,"state":"Running","bounds":{"minCPU":2,"maxCPU":6,"minMemoryGiB":4,"maxMemoryGiB":12}})";

// Every value a field took, in order.
// Every value a field took while `context` lives, in order.
template <typename Read>
std::shared_ptr<std::vector<QString>> history(DesktopModel& model, void (DesktopModel::*signal)(), Read read,
                                              QObject& context) {
    auto values = std::make_shared<std::vector<QString>>();
    QObject::connect(&model, signal, &context, [values, &model, read] { values->push_back(read(model)); });
    return values;
}

class DesktopModelTest : public ::testing::Test {
protected:
    DesktopModelTest() { application(); }

    std::unique_ptr<DesktopModel> makeModel(DesktopModelOptions options) {
        auto made = std::make_unique<DesktopModel>(ScriptedTessaron::program(), opener, std::move(options));
        QObject::connect(made.get(), &DesktopModel::statusReadCompleted, made.get(), [this] { ++statusReads; });
        QObject::connect(made.get(), &DesktopModel::refreshCompleted, made.get(), [this] { ++refreshes; });
        return made;
    }
    void readStatus(DesktopModel& target) {
        const int before = statusReads;
        target.refreshConnection();
        ASSERT_TRUE(waitUntil([&] { return statusReads > before; }));
    }
    void refreshModel(DesktopModel& target) {
        const int before = refreshes;
        target.refresh();
        ASSERT_TRUE(waitUntil([&] { return refreshes > before; }));
    }
    // A model that knows a running VM (through the stand-in limactl) and a connected Mac.
    std::unique_ptr<DesktopModel> modelWithVM() {
        EXPECT_EQ(lima.create("tessaron").exitCode, 0);
        DesktopModelOptions options = quietOptions(home.path());
        options.limactl = tessaron::testing::limactlPath().string();
        auto made = makeModel(options);
        tessaron.script({{"server status", answer(connectedLine + "\n")}});
        refreshModel(*made);
        return made;
    }

    TempHome home;
    tessaron::testing::StandinLimaHome lima;
    ScriptedTessaron tessaron;
    RecordingOpener opener;
    int statusReads = 0;
    int refreshes = 0;
    std::unique_ptr<DesktopModel> model = makeModel(quietOptions(home.path()));
};

TEST_F(DesktopModelTest, StatusReadsSetTheConnectionFields) {
    struct Case {
        const char* name;
        Json script;
        const char* connection;
        const char* serverState;
        const char* agentState;
        const char* detail;
        const char* lifecycleError;
        bool canRestart;
        std::optional<bool> paused;
    };
    const Case cases[] = {
        {"connecting, nothing else", answer(R"({"tunnelState":"connecting"})"), "Connecting\u2026", "Unknown", "unknown",
         "", "", false, std::nullopt},
        {"state words compare exactly", answer(R"({"tunnelState":"Connected"})"), "Connection unknown", "Unknown",
         "unknown", "", "", false, std::nullopt},
        {"full report", answer(connectedLine), "Connected", "Running", "running", "", "", true, false},
        {"panel unreachable",
         answer(R"({"tunnelState":"offline","vmState":"Stopped","agentState":"stopped","canRestart":false,)"
                R"("controlError":"x","error":"y"})"),
         "Offline", "Stopped", "stopped", "y", "x", false, std::nullopt},
        {"not paired", answer(R"({"tunnelState":"not-configured"})"), "Not connected", "Unknown", "unknown", "", "",
         false, std::nullopt},
        {"failed run", answer("", 1, "  busy \n"), "Connection unknown", "Unknown", "unknown", "busy",
         "Could not load server controls.", false, std::nullopt},
        {"output without tunnelState", answer(R"({"vmState":"Running"})"), "Connection unknown", "Unknown", "unknown",
         "The key \"tunnelState\" is missing.", "Could not load server controls.", false, std::nullopt},
    };
    for (const auto& c : cases) {
        readStatus(*model);  // the previous case's values, to be overwritten
        tessaron.script({{"server status", c.script}});
        readStatus(*model);
        EXPECT_EQ(model->connection(), c.connection) << c.name;
        EXPECT_EQ(model->serverState(), c.serverState) << c.name;
        EXPECT_EQ(model->agentState(), c.agentState) << c.name;
        EXPECT_EQ(model->connectionDetail(), c.detail) << c.name;
        EXPECT_EQ(model->lifecycleError(), c.lifecycleError) << c.name;
        EXPECT_EQ(model->canRestartServer(), c.canRestart) << c.name;
        EXPECT_EQ(model->publishingPaused(), c.paused) << c.name;
        EXPECT_FALSE(model->refreshingAccess()) << c.name;
        tessaron.script({{"server status", answer(connectedLine)}});
    }
}

TEST_F(DesktopModelTest, RestartRequestsFollowTheLatestRead) {
    const std::string queued = R"({"tunnelState":"connected","restart":{"id":"r","status":"queued","requestedAt":0}})";
    tessaron.script({{"server status", answer(queued)}});
    readStatus(*model);
    EXPECT_TRUE(model->restartPending());
    EXPECT_EQ(model->restartMessage(), "Restart queued. Waiting for your Mac.");
    // A failed read keeps the request; a read without one clears it.
    tessaron.script({{"server status", answer("", 1)}});
    readStatus(*model);
    EXPECT_TRUE(model->restartRequest());
    tessaron.script({{"server status", answer(R"({"tunnelState":"connected"})")}});
    readStatus(*model);
    EXPECT_FALSE(model->restartRequest());

    struct Case {
        const char* status;
        double ageSeconds;
        std::optional<std::string> error;
        const char* message;
    };
    const Case cases[] = {
        {"running", 3600, std::nullopt, "Restarting Linux. Apps and SSH sessions will be interrupted."},
        {"failed", 240, std::nullopt, "The restart did not complete. Try again."},
        {"failed", 240, "The VM did not stop.", "The VM did not stop."},
        {"failed", 360, std::nullopt, ""},
        {"succeeded", 299, std::nullopt, "Linux restarted. Check that your apps are running."},
        {"succeeded", -600, std::nullopt, "Linux restarted. Check that your apps are running."},
        {"succeeded", 300, std::nullopt, ""},
    };
    const double now = 1'800'000'000;
    for (const auto& c : cases) {
        Json restart{{"id", "r"}, {"status", c.status}, {"requestedAt", (now - c.ageSeconds) * 1000}};
        if (c.error) restart["error"] = *c.error;
        tessaron.script({{"server status", answer(Json{{"tunnelState", "connected"}, {"restart", restart}}.dump())}});
        readStatus(*model);
        EXPECT_EQ(model->restartMessage(now), c.message) << c.status << " " << c.ageSeconds;
    }
}

TEST_F(DesktopModelTest, RefreshReadsThePairingAndTheVM) {
    DesktopModelOptions options = quietOptions(home.path());
    options.limactl = tessaron::testing::limactlPath().string();
    auto withLima = makeModel(options);
    tessaron.script({{"server status", answer(R"({"tunnelState":"not-configured"})")}});
    refreshModel(*withLima);
    EXPECT_FALSE(withLima->paired());
    EXPECT_FALSE(withLima->vmExists());
    EXPECT_EQ(withLima->vmStatus(), "Not created yet");
    EXPECT_EQ(withLima->allocation(), "");
    EXPECT_EQ(withLima->connection(), "Not connected");

    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    AgentConfigurationStore::save({"mac-1", *Url::parse("https://panel.example.com"), {}, "127.0.0.1", "tessaron",
                                   "wireguard"});
    refreshModel(*withLima);
    EXPECT_TRUE(withLima->paired());
    EXPECT_EQ(withLima->control(), "https://panel.example.com");
    EXPECT_TRUE(withLima->vmExists());
    EXPECT_EQ(withLima->vmStatus(), "Running");
    EXPECT_EQ(withLima->allocatedCPU(), 2);
    EXPECT_EQ(withLima->allocatedMemoryGiB(), 4.0);
    EXPECT_EQ(withLima->allocation(), "2 CPUs \u00B7 4 GiB RAM");

    // The VM goes away: the last size stays, the status says so.
    ASSERT_EQ(lima.run({"delete", "-f", "tessaron"}).exitCode, 0);
    refreshModel(*withLima);
    EXPECT_FALSE(withLima->vmExists());
    EXPECT_EQ(withLima->vmStatus(), "Not created yet");
    EXPECT_EQ(withLima->allocation(), "2 CPUs \u00B7 4 GiB RAM");
}

TEST_F(DesktopModelTest, TheRefreshLoopRunsUntilShutdown) {
    DesktopModelOptions options = quietOptions(home.path());
    options.startRefreshLoop = true;
    options.refreshInterval = std::chrono::milliseconds(50);
    tessaron.script({{"server status", answer(connectedLine)}});
    auto looping = makeModel(options);
    ASSERT_TRUE(waitUntil([&] { return refreshes >= 3; }));
    looping->shutdown();
    settle(0.3);
    const int after = refreshes;
    settle(0.3);
    EXPECT_EQ(refreshes, after);
    EXPECT_EQ(looping->connection(), "Connected");
}

TEST_F(DesktopModelTest, AStatusReadOlderThanAServerActionIsDropped) {
    tessaron.script({{"server status", answer(connectedLine)}});
    readStatus(*model);
    tessaron.script({{"server status", {{"waitFor", tessaron.gate("status")}, {"stdout", R"({"tunnelState":"offline"})"}}},
                     {"server disconnect", answer(lifecycleLine)}});
    model->refreshConnection();
    ASSERT_TRUE(waitUntil([&] { return tessaron.count("server status") == 2; }));
    model->performLifecycle("disconnect");
    ASSERT_TRUE(waitUntil([&] { return !model->lifecycleAction(); }));
    EXPECT_EQ(model->publishingPaused(), true);
    tessaron.release("status");
    ASSERT_TRUE(waitUntil([&] { return !model->refreshingAccess(); }));
    settle();
    EXPECT_EQ(model->tunnelState(), "connected");
    EXPECT_EQ(model->publishingPaused(), true);
    EXPECT_EQ(tessaron.count("server status"), 2u) << "the action's own read is skipped while the old one runs";
}

TEST_F(DesktopModelTest, BusyFlagsBlockOverlappingRuns) {
    auto busy = modelWithVM();
    ASSERT_TRUE(busy->vmExists());
    ASSERT_TRUE(busy->canPowerServer());
    tessaron.script({{"server status", answer(connectedLine)},
                     {"vm stop", {{"waitFor", tessaron.gate("stop")}}},
                     {"*", answer(resourcesLine)}});
    busy->performPower("stop");
    EXPECT_EQ(busy->powerLabel(), "Turning off\u2026");
    ASSERT_TRUE(waitUntil([&] { return tessaron.count("vm stop") == 1; }));
    busy->performPower("stop");
    busy->performLifecycle("disconnect");
    busy->performLifecycle("restart");
    busy->editResources();
    settle();
    EXPECT_EQ(tessaron.calls(), (std::vector<std::string>{"server status", "vm stop"}));
    EXPECT_TRUE(busy->resourceActionsBusy());
    EXPECT_FALSE(busy->canConnect());
    tessaron.release("stop");
    ASSERT_TRUE(waitUntil([&] { return !busy->powerAction() && tessaron.count("server status") == 2; }));

    // A resize in flight suspends the refresh cycle: nothing is read.
    tessaron.script({{"server status", answer(connectedLine)}, {"vm resources", answer(resourcesLine)},
                     {"vm resize", {{"waitFor", tessaron.gate("resize")}, {"stdout", resourcesLine}}}});
    busy->editResources();
    ASSERT_TRUE(waitUntil([&] { return !busy->loadingResources(); }));
    busy->setResourceCPU(5);
    busy->applyResources(false);
    ASSERT_TRUE(busy->resizingResources());
    refreshModel(*busy);
    busy->connect();
    settle();
    EXPECT_EQ(tessaron.count("server status"), 2u);
    tessaron.release("resize");
    ASSERT_TRUE(waitUntil([&] { return !busy->resizingResources() && tessaron.count("server status") == 3; }));
}

TEST_F(DesktopModelTest, ServerAndPowerActionsReportTheirOutcome) {
    struct Case {
        const char* name;
        const char* action;  // "server …" or "vm …"
        Json script;
        const char* note;    // the note shown before the following read
        const char* error;   // the error shown before the following read
    };
    const std::string restartAnswer =
        R"({"publishingPaused":false,"effectiveWithinSeconds":30,"canRestart":true,)"
        R"("restart":{"id":"r","status":"queued","requestedAt":0}})";
    const Case cases[] = {
        {"restart queued", "restart", answer(restartAnswer), "Restart requested. Waiting for your Mac.", ""},
        {"disconnect refused", "disconnect", answer("", 1, " The panel said no. \n"), "", "The panel said no."},
        {"disconnect without a message", "disconnect", answer("", 1),  "",
         "Could not confirm the request. Check status before trying again."},
        {"answer that does not decode", "connect", answer(R"({"publishingPaused":false})"), "",
         "The key \"effectiveWithinSeconds\" is missing."},
        {"turned off", "stop", answer(""),
         "Linux is off and using none of your Mac. Your files, databases and installed software are kept.", ""},
        {"start failed", "start", answer("", 1), "",
         "The server did not respond. Check its status before trying again."},
    };
    auto acting = modelWithVM();
    for (const auto& c : cases) {
        const std::string action = c.action;
        const bool power = action == "start" || action == "stop";
        const std::string statusLine =
            action == "start" ? R"({"tunnelState":"connected","vmState":"Stopped","publishingPaused":false,"canRestart":true})"
                              : connectedLine;
        tessaron.script({{"server status", answer(statusLine)}});
        readStatus(*acting);
        QObject context;
        const auto notes = history(
            *acting, &DesktopModel::lifecycleNoteChanged, [](DesktopModel& m) { return m.lifecycleNote(); }, context);
        const auto errors = history(
            *acting, &DesktopModel::lifecycleErrorChanged, [](DesktopModel& m) { return m.lifecycleError(); }, context);
        tessaron.script({{"server status", answer(connectedLine)}, {(power ? "vm " : "server ") + action, c.script}});
        const int before = statusReads;
        if (power)
            acting->performPower(QString::fromStdString(action));
        else
            acting->performLifecycle(QString::fromStdString(action));
        ASSERT_TRUE(waitUntil([&] { return statusReads > before; })) << c.name;
        if (*c.note) {
            EXPECT_NE(std::find(notes->begin(), notes->end(), c.note), notes->end()) << c.name;
        }
        if (*c.error) {
            EXPECT_NE(std::find(errors->begin(), errors->end(), c.error), errors->end()) << c.name;
        }
        // The read that follows brings the panel's view back and clears the note.
        EXPECT_EQ(acting->lifecycleNote(), "") << c.name;
        EXPECT_EQ(acting->lifecycleError(), "") << c.name;
        EXPECT_EQ(acting->publishingPaused(), false) << c.name;
    }
    EXPECT_EQ(tessaron.count("server restart --confirm"), 1u);
}

TEST_F(DesktopModelTest, ActionsThatMayNotStartRunNothing) {
    // Unknown public access (no read yet): no server action; no VM: no power action.
    model->performLifecycle("disconnect");
    model->changePublicAccess();  // asks for a check: a status read
    model->performPower("stop");
    model->keepPublicAccessOff();
    ASSERT_TRUE(waitUntil([&] { return statusReads == 1; }));
    // A restart needs the panel's permission and no pending request.
    tessaron.script({{"server status",
                      answer(R"({"tunnelState":"connected","publishingPaused":false,"canRestart":false})")}});
    readStatus(*model);
    model->performLifecycle("restart");
    tessaron.script({{"server status",
                      answer(R"({"tunnelState":"connected","publishingPaused":false,"canRestart":true,)"
                             R"("restart":{"id":"r","status":"running","requestedAt":0}})")}});
    readStatus(*model);
    model->performLifecycle("restart");
    settle();
    for (const auto& call : tessaron.calls()) EXPECT_EQ(call, "server status");
}

TEST_F(DesktopModelTest, ResourceEditorClampsAndResizes) {
    auto editing = modelWithVM();
    struct Read {
        const char* line;
        int cpu, memory;
    };
    const Read reads[] = {
        {R"({"cpu":4,"memoryGiB":7.9,"state":"Running","bounds":{"minCPU":2,"maxCPU":6,"minMemoryGiB":4,"maxMemoryGiB":12}})", 4, 7},
        {R"({"cpu":9,"memoryGiB":2,"state":"Running","bounds":{"minCPU":2,"maxCPU":6,"minMemoryGiB":4,"maxMemoryGiB":12}})", 6, 4},
        {R"({"cpu":1,"memoryGiB":64,"state":"Stopped","bounds":{"minCPU":8,"maxCPU":6,"minMemoryGiB":4,"maxMemoryGiB":12}})", 6, 12},
    };
    for (const auto& read : reads) {
        tessaron.script({{"vm resources", answer(read.line)}});
        editing->editResources();
        EXPECT_TRUE(editing->showResources());
        ASSERT_TRUE(waitUntil([&] { return !editing->loadingResources(); }));
        EXPECT_EQ(editing->resourceCPU(), read.cpu) << read.line;
        EXPECT_EQ(editing->resourceMemory(), read.memory) << read.line;
        editing->setShowResources(false);
    }
    EXPECT_EQ(editing->allocation(), "1 CPUs \u00B7 64 GiB RAM");
    EXPECT_EQ(editing->vmStatus(), "Stopped");

    struct Apply {
        const char* name;
        bool restart;
        Json script;
        const char* call;
        const char* error;
    };
    const Apply applies[] = {
        {"refused", false, answer("", 1), "vm resize --cpus 3 --memory-gib 8",
         "Could not update server resources. Try again."},
        {"without restart", false, answer(resourcesLine), "vm resize --cpus 3 --memory-gib 8", ""},
        {"with restart", true, answer(resourcesLine), "vm resize --cpus 3 --memory-gib 8 --restart", ""},
    };
    for (const auto& apply : applies) {
        tessaron.script({{"vm resources", answer(resourcesLine)}, {"vm resize", apply.script}, {"*", answer(connectedLine)}});
        editing->editResources();
        ASSERT_TRUE(waitUntil([&] { return !editing->loadingResources(); }));
        editing->applyResources(apply.restart);  // unchanged values: nothing to do
        EXPECT_FALSE(editing->resizingResources());
        editing->setResourceCPU(3);
        editing->setResourceMemory(8);
        const int before = refreshes;
        editing->applyResources(apply.restart);
        ASSERT_TRUE(waitUntil([&] { return refreshes > before; })) << apply.name;
        EXPECT_EQ(tessaron.calls().back() == "server status" ? tessaron.calls()[tessaron.calls().size() - 2]
                                                              : tessaron.calls().back(),
                  apply.call)
            << apply.name;
        EXPECT_EQ(editing->resourceError(), apply.error) << apply.name;
        EXPECT_EQ(editing->showResources(), *apply.error != '\0') << apply.name;
        editing->setShowResources(false);
    }
    EXPECT_EQ(editing->allocation(), "2 CPUs \u00B7 4 GiB RAM") << "the refresh after the resize read the VM again";
}

TEST_F(DesktopModelTest, ConnectTurnsOnBackgroundHostingOnlyForAStoppedHelper) {
    struct Case {
        const char* agentState;
        Json enable;
        bool enables;
        const char* error;
    };
    const Case cases[] = {
        {"running", answer(""), false, ""},
        {"unknown", answer(""), false, ""},
        {"stopped", answer("Background hosting is on.\n"), true, ""},
        {"stopped", answer("", 1, "\n"), true, "Could not enable background hosting. Try again."},
        {"stopped", answer("", 1, "tessaron: No pairing.\n"), true, "tessaron: No pairing."},
    };
    for (const auto& c : cases) {
        const std::size_t before = tessaron.count("service enable");
        tessaron.script({{"server status", answer(Json{{"tunnelState", "offline"}, {"agentState", c.agentState}}.dump())},
                         {"service enable", c.enable}});
        const int refreshesBefore = refreshes;
        model->connect();
        EXPECT_TRUE(model->checkingConnection());
        if (c.enables)
            ASSERT_TRUE(waitUntil([&] { return refreshes > refreshesBefore; })) << c.agentState;
        else
            ASSERT_TRUE(waitUntil([&] { return !model->checkingConnection(); }));
        settle(0.1);
        EXPECT_EQ(tessaron.count("service enable") - before, c.enables ? 1u : 0u) << c.agentState;
        EXPECT_EQ(model->error(), c.error);
        EXPECT_FALSE(model->running());
    }
    EXPECT_TRUE(model->log().contains("Background hosting is on.\n"));
}

TEST_F(DesktopModelTest, PanelPagesAndTheTerminalLauncher) {
    model->setControl("not a url");
    model->openConsole(false);
    model->openConsole(true);
    model->openConnectionDetails();
    model->setControl("https://panel.test/");
    model->openConsole(false);
    AgentConfigurationStore::save({"mac-7", *Url::parse("https://saved.test"), {}, "127.0.0.1", "tessaron", "wireguard"});
    model->openConnectionDetails();
    model->openConsolePage("console/ai-access");
    const std::string fallback = TessaronEndpoints::defaultControlText();
    const std::string slash = fallback.back() == '/' ? "" : "/";
    EXPECT_EQ(opener.opened, (std::vector<std::string>{
                                 fallback + slash + "console", fallback + slash + "console/billing",
                                 fallback + slash + "console/public-access", "https://panel.test/console",
                                 "https://saved.test/console/machines/mac-7", "https://saved.test/console/ai-access"}));

    // The launcher runs the program as one shell word, whatever its path.
    const fs::path program = home.path() / "It's here" / "Tessaron.app" / "Contents" / "MacOS" / "tessaron";
    DesktopModel launcher(program, opener, quietOptions(home.path()));
    launcher.openTerminal();
    const fs::path file = home.supportDir() / "Tessaron Terminal.command";
    EXPECT_EQ(tessaron::testing::readFile(file),
              "#!/bin/sh\n# Managed Tessaron terminal launcher.\nexec '" + (home.path() / "It'\\''s here").string() +
                  "/Tessaron.app/Contents/MacOS/tessaron' ssh\n");
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(opener.opened.back(), QUrl::fromLocalFile(QString::fromStdString(file.string())).toString().toStdString());
    EXPECT_EQ(launcher.error(), "");

    struct Bundle {
        const char* path;
        bool translocated;
    };
    for (const Bundle& b : {Bundle{"/private/var/folders/x/AppTranslocation/ABC/d/Tessaron.app", true},
                            Bundle{"/Users/me/MyAppTranslocationCopy/Tessaron.app", false},
                            Bundle{"/Applications/Tessaron.app", false}}) {
        DesktopModelOptions options = quietOptions(home.path());
        options.bundle = b.path;
        EXPECT_EQ(DesktopModel(program, opener, options).isTranslocated(), b.translocated) << b.path;
    }
}

// The saved machine ID is one path segment of the machine's page, whatever it holds.
TEST_F(DesktopModelTest, TheMachinePageLinkEncodesTheIDAsOneSegment) {
    const std::string page = "https://saved.test/console/";
    const std::pair<std::string, std::string> cases[] = {
        {"mac-7_a.b~", page + "machines/mac-7_a.b~"},
        {"{", page + "machines/%7B"},
        {"?x=1#f", page + "machines/%3Fx%3D1%23f"},
        {"../billing", page + "machines/..%2Fbilling"},
        {"a%2Fb", page + "machines/a%252Fb"},
        {"..", page + "public-access"},
        {".", page + "public-access"},
    };
    for (const auto& [machineID, link] : cases) {
        AgentConfigurationStore::save({machineID, *Url::parse("https://saved.test"), {}, "127.0.0.1", "tessaron", "wireguard"});
        model->openConnectionDetails();
        EXPECT_EQ(opener.encoded.back(), link) << machineID;
    }
    EXPECT_EQ(model->error(), "");
}

TEST_F(DesktopModelTest, ConstructionReadsTheHostOnce) {
    struct Case {
        HostCapacity capacity;
        int cpu, memory;
    };
    // Too small a host keeps the form's defaults.
    for (const Case& c : {Case{{1, 4ull << 30}, 2, 4}, Case{{8, 16ull << 30}, model->cpu(), model->memory()}}) {
        DesktopModelOptions options = quietOptions(home.path());
        options.capacity = c.capacity;
        DesktopModel made(ScriptedTessaron::program(), opener, options);
        EXPECT_EQ(made.cpu(), c.cpu);
        EXPECT_EQ(made.memory(), c.memory);
    }
    const ResourceAllocation balanced = ResourcePolicy::allocation(ResourceProfile::balanced, {8, 16ull << 30});
    EXPECT_EQ(model->cpu(), balanced.virtualCPUCount);
    EXPECT_EQ(static_cast<std::uint64_t>(model->memory()), balanced.memoryBytes >> 30);
    EXPECT_TRUE(model->durablyInstalled());
    EXPECT_EQ(model->vmStatus(), "Checking this Mac\u2026");
    EXPECT_EQ(model->connection(), "Checking connection\u2026");

    // The skipped onboarding is remembered across models.
    EXPECT_FALSE(model->onboardingSkipped());
    model->setOnboardingSkipped(true);
    EXPECT_TRUE(DesktopModel(ScriptedTessaron::program(), opener, quietOptions(home.path())).onboardingSkipped());

    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    for (const auto& [gib, label] : std::vector<std::pair<double, QString>>{
             {8.0, "8"}, {7.5, "7.5"}, {7.996, "8"}, {0.25, "0.25"}, {1024, "1,024"}})
        EXPECT_EQ(DesktopModel::memoryLabel(gib), label) << gib;
}

}  // namespace
}  // namespace tessaron::desktop
