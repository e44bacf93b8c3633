// The menu bar's state machine with a scripted `tessaron`: each run waits until the test
// answers it, so the order of reads, actions and results is the test's. Covers reads
// blocked by an action, stale reads dropped, the action results, the confirmations and
// the pages opened; and, with a stand-in that hangs, quitting during an action.

#include "host/agent_configuration.h"
#include "menubar/process_group.h"
#include "model/menu_controller.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

namespace tessaron::menubar {
namespace {

using namespace std::chrono_literals;

class ScriptedRunner final : public MenuCommandRunning {
public:
    struct Call {
        std::vector<std::string> arguments;
        std::chrono::milliseconds timeout;
        std::promise<MenuCommandResult> answer;
    };

    MenuCommandResult run(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                          std::stop_token) override {
        auto call = std::make_shared<Call>(Call{arguments, timeout, {}});
        auto answer = call->answer.get_future();
        {
            std::lock_guard lock(mutex_);
            if (released_) return {"", "released"};
            waiting_.push_back(call);
        }
        changed_.notify_all();
        return answer.get();
    }
    // The oldest unanswered run, waiting at most 10 s for one; null when none came.
    std::shared_ptr<Call> next() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 10s, [&] { return !waiting_.empty(); })) return nullptr;
        auto call = waiting_.front();
        waiting_.pop_front();
        return call;
    }
    std::size_t waiting() {
        std::lock_guard lock(mutex_);
        return waiting_.size();
    }
    // Answers every run, now and later, so that the controller can be destroyed.
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        for (auto& call : waiting_) call->answer.set_value({"", "released"});
        waiting_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Call>> waiting_;
    bool released_ = false;
};

struct RecordingOpener final : desktop::Opener {
    void open(const QUrl& url) override { opened.push_back(url.toString().toStdString()); }
    std::vector<std::string> opened;
};

struct ScriptedConfirmer final : MenuConfirming {
    bool confirm(const MenuAlert& alert) override {
        shown.push_back(alert.message);
        if (whileOpen) whileOpen();
        return answer;
    }
    bool answer = true;
    std::function<void()> whileOpen;
    std::vector<std::string> shown;
};

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "menu_controller_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

const std::string liveStatus =
    R"({"paired":true,"vmState":"Running","tunnelState":"connected","agentState":"running","publishingPaused":false,)"
    R"("publicAccess":{"state":"enabled","requestedPaused":false,"confirmedAt":1},"canRestart":true})";
const std::string stoppedStatus =
    R"({"paired":true,"vmState":"Stopped","tunnelState":"offline","agentState":"running","publishingPaused":false,)"
    R"("canRestart":false})";
const std::string pausedAnswer =
    R"({"publishingPaused":true,"canRestart":true,"effectiveWithinSeconds":30,)"
    R"("publicAccess":{"state":"paused","requestedPaused":true,"confirmedAt":2}})";

class MenuControllerTest : public ::testing::Test {
protected:
    MenuControllerTest() {
        application();
        controller = std::make_unique<MenuController>(MenuController::Dependencies{
            runner, &opener, &confirmer, "/Applications/Tessaron.app", [] { return 1.8e12; }, 5000});
    }
    ~MenuControllerTest() override {
        runner->release();
        controller.reset();
    }

    static bool spinUntil(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return true;
    }
    // Takes the next run, checks its words and time-out, answers it and lets the result land.
    void answer(const std::vector<std::string>& arguments, std::chrono::seconds timeout,
                const MenuCommandResult& result) {
        auto call = runner->next();
        ASSERT_TRUE(call) << "no run of " << arguments.front();
        EXPECT_EQ(call->arguments, arguments);
        EXPECT_EQ(call->timeout, timeout);
        const int before = renders;
        call->answer.set_value(result);
        // A dropped read changes nothing visible; wait for the event loop to have taken it.
        spinUntil([&] { return renders > before; });
        QCoreApplication::processEvents();
    }
    void readStatus(const std::string& output) {
        controller->refreshStatus();
        answer({"server", "status"}, 9s, {output, std::nullopt});
    }

    std::shared_ptr<ScriptedRunner> runner = std::make_shared<ScriptedRunner>();
    RecordingOpener opener;
    ScriptedConfirmer confirmer;
    std::unique_ptr<MenuController> controller;
    int renders = 0;
    QMetaObject::Connection counting;

    void SetUp() override {
        counting = QObject::connect(controller.get(), &MenuController::rowsChanged, [this] { ++renders; });
    }
};

TEST_F(MenuControllerTest, AnActionBlocksReadsAndDropsTheReadItOvertook) {
    controller->refreshStatus();
    EXPECT_EQ(controller->rows().connection.title, "Connection status unavailable") << "rendered before the run";
    controller->refreshStatus();  // a read is running: no second one
    answer({"server", "status"}, 9s, {liveStatus, std::nullopt});
    EXPECT_EQ(runner->waiting(), 0u);
    EXPECT_EQ(controller->rows().server.title, "Linux server: Running");

    controller->refreshStatus();  // under way when the user turns the server off
    ASSERT_TRUE(spinUntil([&] { return runner->waiting() == 1; }));
    auto staleRead = runner->next();
    controller->togglePower();
    EXPECT_EQ(confirmer.shown, std::vector<std::string>{turnOffAlert.message});
    EXPECT_TRUE(controller->busy());
    EXPECT_EQ(controller->rows().power.title, "Turning off\u2026");
    EXPECT_EQ(controller->rows().feedback.title, "Updating server controls\u2026");

    staleRead->answer.set_value({stoppedStatus, std::nullopt});
    ASSERT_TRUE(spinUntil([&] { return !controller->reading(); }));
    EXPECT_EQ(controller->state()->vmState, "Running") << "the read begun before the action was dropped";
    controller->refreshStatus();
    controller->togglePower();
    ASSERT_TRUE(spinUntil([&] { return runner->waiting() >= 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(runner->waiting(), 1u) << "only the stop: no read, no second action while busy";

    answer({"vm", "stop"}, 120s, {"", std::nullopt});
    EXPECT_FALSE(controller->busy());
    EXPECT_EQ(controller->rows().feedback.title, "Linux is off and using none of your Mac. Your files are kept.");
    answer({"server", "status"}, 9s, {stoppedStatus, std::nullopt});  // the follow-up read
    EXPECT_EQ(controller->rows().power.title, "Start server");

    // A stopped server starts without a question; its failure is the feedback.
    controller->togglePower();
    answer({"vm", "start"}, 120s, {"", "limactl exited with status 1."});
    EXPECT_EQ(confirmer.shown.size(), 1u);
    answer({"server", "status"}, 9s, {"", "tessaron: broken"});
    EXPECT_FALSE(controller->state());
    EXPECT_EQ(controller->rows().feedback.title, "limactl exited with status 1.");
}

TEST_F(MenuControllerTest, PublicAccessActionsApplyTheAnswerOrDistrustThePanel) {
    struct Case {
        const char* name;
        MenuCommandResult result;
        std::string feedback;
        std::optional<bool> publishingPaused;
        bool canRestart;
    };
    const std::vector<Case> cases = {
        {"answered", {pausedAnswer, std::nullopt}, "", true, true},
        {"unreadable answer", {"<html>", std::nullopt}, "Could not confirm the request. Checking status\u2026",
         std::nullopt, false},
        {"refused", {"", "Server controls are not available on this panel yet. Hosting was not changed."},
         "Server controls are not available on this panel yet. Hosting was not changed.", std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        readStatus(liveStatus);
        ASSERT_EQ(controller->rows().access.title, "Disconnect public access");
        controller->togglePublicAccess();
        EXPECT_EQ(controller->rows().access.title, "Pausing\u2026");
        answer({"server", "disconnect"}, 13s, c.result);
        // The follow-up read is running; the action's own result is what shows.
        ASSERT_TRUE(controller->state());
        EXPECT_EQ(controller->state()->publishingPaused, c.publishingPaused);
        EXPECT_EQ(controller->state()->publicAccess.has_value(), c.publishingPaused.has_value());
        EXPECT_EQ(controller->state()->canRestart, c.canRestart);
        EXPECT_EQ(controller->rows().feedback.title, c.feedback);
        answer({"server", "status"}, 9s, {liveStatus, std::nullopt});
    }
}

TEST_F(MenuControllerTest, ConfirmationsAndChecks) {
    readStatus(liveStatus);
    // Cancelled: nothing runs.
    confirmer.answer = false;
    controller->confirmRestart();
    controller->togglePower();
    EXPECT_EQ(confirmer.shown, (std::vector<std::string>{restartAlert.message, turnOffAlert.message}));
    EXPECT_EQ(runner->waiting(), 0u);

    // Confirmed, but a read finished while the alert was open and disabled the row.
    confirmer.answer = true;
    confirmer.whileOpen = [&] {
        readStatus(R"({"paired":true,"vmState":"Running","tunnelState":"connected","agentState":"running",)"
                   R"("publishingPaused":false,"canRestart":false})");
    };
    controller->confirmRestart();
    EXPECT_EQ(runner->waiting(), 0u);
    confirmer.whileOpen = nullptr;

    readStatus(liveStatus);
    controller->confirmRestart();
    answer({"server", "restart", "--confirm"}, 13s,
           {R"({"publishingPaused":false,"canRestart":false,"effectiveWithinSeconds":30,)"
            R"("restart":{"id":"r1","status":"queued","requestedAt":1.8e12}})",
            std::nullopt});
    EXPECT_EQ(controller->rows().restart.title, "Restart pending\u2026");
    EXPECT_EQ(controller->rows().feedback.title, "Restart queued. Waiting for your Mac.");
    answer({"server", "status"}, 9s, {"", "tessaron: gone"});

    // With no status, "Check connection" reads again.
    EXPECT_EQ(controller->rows().access.title, "Check connection");
    controller->togglePublicAccess();
    answer({"server", "status"}, 9s, {liveStatus, std::nullopt});
    EXPECT_TRUE(controller->state());
}

TEST_F(MenuControllerTest, OpensTheApplicationAndThePanel) {
    testing::TempHome home;
    controller->openTessaron();
    controller->openConsole();  // not paired: the default panel
    AgentConfigurationStore::save({"mac-1", *Url::parse("http://127.0.0.1:8123/base"), {}, "127.0.0.1", {}, {}});
    controller->openConsole();
    EXPECT_EQ(opener.opened, (std::vector<std::string>{"file:///Applications/Tessaron.app",
                                                       TessaronEndpoints::defaultControlText() + "/console",
                                                       "http://127.0.0.1:8123/base/console"}));
}

// Quitting while `vm stop` hangs (its time-out is two minutes) returns after the runner's
// grace, and leaves neither the program nor what it started running.
TEST(MenuControllerQuit, EndsAHungActionAndWhatItStartedAtOnce) {
    application();
    testing::adoptOrphans();
    testing::TempDir dir;
    const std::filesystem::path program = dir / "tessaron";
    testing::writeFile(program, "#!/bin/sh\n"
                                "[ \"$1\" = vm ] || { echo '" + liveStatus + "'; exit 0; }\n"
                                "sleep 600 & (trap '' TERM; sleep 600) &\n"
                                "trap '' TERM\n"
                                "echo $$ > '" + (dir / "group").string() + "'\n"
                                "wait\n");
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    RecordingOpener opener;
    ScriptedConfirmer confirmer;
    auto controller = std::make_unique<MenuController>(MenuController::Dependencies{
        std::make_shared<TessaronCommandRunner>([program] { return std::optional(program); }), &opener, &confirmer,
        "/Applications/Tessaron.app", {}, 5000});
    const auto spinUntil = [](const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!condition() && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return condition();
    };
    controller->start();
    ASSERT_TRUE(spinUntil([&] { return controller->rows().power.enabled; }));
    controller->togglePower();
    const auto groupFile = dir / "group";
    ASSERT_TRUE(spinUntil([&] { return std::filesystem::exists(groupFile) && !testing::readFile(groupFile).empty(); }));
    const pid_t group = static_cast<pid_t>(std::stol(testing::readFile(groupFile)));

    const auto quitting = std::chrono::steady_clock::now();
    controller->stop();
    controller.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - quitting, 8s);
    EXPECT_TRUE(testing::groupEnds(group));
}

}  // namespace
}  // namespace tessaron::menubar
