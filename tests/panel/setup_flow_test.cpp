// A whole setup as the pairing command runs it, against a loopback panel that keeps
// real per-setup state: start, save, poll while waiting for approval, report the Mac's
// stages, and finish; also a setup resumed after the pairing process was killed.

#include "panel/setup_client.h"
#include "panel/setup_records.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tessaron {
namespace {
namespace fs = std::filesystem;
using testing::ScriptedHttpServer;
using Reply = ScriptedHttpServer::Response;

// The panel's side of the setup API, reduced to what the Mac relies on.
class LoopbackSetupPanel {
public:
    struct Setup {
        std::string secret;
        std::string code;
        std::string stage = "awaiting_account";
        std::vector<std::string> reported;  // stages the Mac sent, in order
        std::string deviceToken;
        bool expired = false;
        bool refused = false;
    };

    LoopbackSetupPanel() : server_([this](const auto& request) { return handle(request); }) {}

    std::string base() const { return server_.base(); }
    Url origin() const { return *Url::parse(base()); }

    void approve(const std::string& id) { with(id, [](Setup& s) { s.stage = "approved"; }); }
    void expire(const std::string& id) { with(id, [](Setup& s) { s.expired = true; }); }
    void refuse(const std::string& id) { with(id, [](Setup& s) { s.refused = true; }); }
    Setup setup(const std::string& id) {
        std::lock_guard lock(mutex_);
        return setups_.at(id);
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return setups_.size();
    }

private:
    static Reply json(int status, const json::Json& body) { return {status, json::encode(body), {{"Content-Type", "application/json"}}}; }

    void with(const std::string& id, const std::function<void(Setup&)>& change) {
        std::lock_guard lock(mutex_);
        change(setups_.at(id));
    }

    std::string hex(std::size_t count, bool upper) {
        const std::string digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        std::string out(count, '0');
        for (char& c : out) {
            next_ = next_ * 6364136223846793005ULL + 1442695040888963407ULL;
            c = digits[static_cast<std::size_t>(next_ >> 60)];
        }
        return out;
    }

    json::Json progress(const std::string& id, const Setup& s) {
        json::Json body{{"id", id}, {"stage", s.stage}, {"code", s.code}, {"expiresAt", 1765000000 + counter_}};
        if (s.stage == "complete") body["machineId"] = "mac-" + id.substr(6, 8);
        return body;
    }

    Reply handle(const ScriptedHttpServer::Request& request) {
        std::lock_guard lock(mutex_);
        ++counter_;
        if (request.method == "POST" && request.target == "/api/tessaron/setup") {
            const std::string id = "setup_" + hex(36, false);
            Setup s;
            s.secret = "secret-" + hex(40, false);
            s.code = hex(12, true);
            setups_[id] = s;
            return json(200, {{"id", id}, {"code", s.code}, {"deviceSecret", s.secret}, {"expiresAt", 1765000000},
                              {"authorizeURL", base() + "/console/connect?setup=" + id}});
        }
        const std::string prefix = "/api/tessaron/agent/setup/";
        if (request.target.rfind(prefix, 0) != 0) return json(404, {{"error", "Not found."}});
        auto found = setups_.find(request.target.substr(prefix.size()));
        if (found == setups_.end() || request.header("authorization") != "Bearer " + found->second.secret)
            return json(401, {{"error", "This setup is not known to the panel."}});
        Setup& s = found->second;
        if (s.expired) return json(410, {{"error", "This setup has expired. Start again from the Mac app."}});
        if (s.refused) return json(403, {{"error", "This Mac was declined in the web panel."}});
        if (request.method == "POST") {
            json::Json body = json::parseObject(request.body);
            const std::string stage = json::string(body, "stage");
            s.reported.push_back(stage);
            if (stage == "resume") {
                s.code = hex(12, true);
            } else if (stage == "complete") {
                s.deviceToken = json::string(body, "deviceToken");
                s.stage = "complete";
            } else {
                s.stage = stage;
            }
        }
        return json(200, progress(found->first, s));
    }

    std::mutex mutex_;
    std::map<std::string, Setup> setups_;
    std::uint64_t next_ = 0x9E3779B97F4A7C15ULL;
    int counter_ = 0;
    ScriptedHttpServer server_;  // last: stops before the state it serves goes away
};

const std::string profile = R"({"name":"Studio","chip":"Apple M2","allocatedCpu":2,"allocatedMemoryGiB":4})";

// Starts a setup, or resumes the saved one, and saves it: the first half of the
// pairing command, up to the approval lines.
PendingSetup startOrResume(const SetupClient& client, const fs::path& file) {
    if (auto saved = SetupSessionStore::loadFor(client.origin(), file)) {
        PendingSetup resumed = client.resume(*saved);
        SetupSessionStore::save(resumed, file);
        return resumed;
    }
    PendingSetup setup(client.start(profile), client.origin(), 2, 4);
    SetupSessionStore::save(setup, file);
    return setup;
}

// Polls until the account approved the Mac, then reports the Mac's stages and finishes.
SetupProgress finishSetup(const SetupClient& client, const PendingSetup& setup, const fs::path& file,
                          const std::function<void(int poll)>& duringWait) {
    SetupProgress progress = client.status(setup);
    for (int poll = 0; progress.stage == "awaiting_account"; ++poll) {
        EXPECT_LT(poll, 50) << "the approval never arrived";
        if (poll >= 50) break;
        duringWait(poll);
        progress = client.status(setup);
    }
    if (progress.stage != "complete") {
        EXPECT_EQ(client.update(setup, "creating_vm").stage, "creating_vm");
        EXPECT_EQ(client.update(setup, "linking").stage, "linking");
        progress = client.update(setup, "complete");
    }
    if (progress.stage == "complete" && progress.machineId) SetupSessionStore::finish(file);
    return progress;
}

TEST(SetupFlow, ACompleteSetupReportsEveryStageAndRemovesTheSavedRecord) {
    testing::TempDir dir;
    const fs::path file = dir / "pending-setup.json";
    LoopbackSetupPanel panel;
    SetupClient client(panel.origin());

    PendingSetup setup = startOrResume(client, file);
    ASSERT_TRUE(SetupSessionStore::load(file));
    SetupProgress done = finishSetup(client, setup, file, [&](int poll) {
        if (poll == 2) panel.approve(setup.ticket.id);  // the user approves after a few polls
    });

    EXPECT_EQ(done.stage, "complete");
    EXPECT_TRUE(done.machineId);
    auto seen = panel.setup(setup.ticket.id);
    EXPECT_EQ(seen.reported, (std::vector<std::string>{"creating_vm", "linking", "complete"}));
    EXPECT_EQ(seen.deviceToken, setup.deviceToken());
    EXPECT_FALSE(fs::exists(file));
}

TEST(SetupFlow, ASetupSurvivesThePairingProcessBeingKilledBeforeApproval) {
    testing::TempDir dir;
    const fs::path file = dir / "pending-setup.json";
    LoopbackSetupPanel panel;
    SetupClient client(panel.origin());

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        try {
            startOrResume(client, file);
            [[maybe_unused]] ssize_t n = ::write(ready[1], "1", 1);
        } catch (...) {
            ::_exit(2);
        }
        for (;;) ::pause();  // waiting for approval when the process dies
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto saved = SetupSessionStore::load(file);
    ASSERT_TRUE(saved);
    PendingSetup resumed = startOrResume(client, file);
    EXPECT_EQ(panel.count(), 1u);  // no second setup was started
    EXPECT_EQ(resumed.ticket.id, saved->ticket.id);
    EXPECT_EQ(resumed.deviceToken(), saved->deviceToken());
    EXPECT_NE(resumed.ticket.code, saved->ticket.code);  // the panel issued a new code
    EXPECT_EQ(SetupSessionStore::load(file)->ticket.code, resumed.ticket.code);

    panel.approve(resumed.ticket.id);
    SetupProgress done = finishSetup(client, resumed, file, [](int) {});
    EXPECT_EQ(done.stage, "complete");
    auto seen = panel.setup(resumed.ticket.id);
    EXPECT_EQ(seen.reported, (std::vector<std::string>{"resume", "creating_vm", "linking", "complete"}));
    EXPECT_EQ(seen.deviceToken, saved->deviceToken());
    EXPECT_FALSE(fs::exists(file));
}

TEST(SetupFlow, SavingSurvivesAKillAtAnyMoment) {
    testing::TempDir dir;
    const fs::path file = dir / "pending-setup.json";
    LoopbackSetupPanel panel;
    SetupClient client(panel.origin());
    const PendingSetup original(client.start(profile), client.origin(), 2, 4);
    SetupSessionStore::save(original, file);

    int rewritten = 0;
    for (int round = 0; round < 15; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            PendingSetup changing = original;
            for (unsigned i = 0;; ++i) {
                changing.ticket.expiresAt = i;
                try {
                    SetupSessionStore::save(changing, file);
                } catch (const Error&) {
                    // A forked child repeats its parent's temporary names; one left by
                    // the previous child is simply skipped.
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + round * 10));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        auto loaded = SetupSessionStore::load(file);  // never torn, never unsafe
        ASSERT_TRUE(loaded);
        EXPECT_EQ(loaded->deviceToken(), original.deviceToken());
        if (loaded->ticket.expiresAt != original.ticket.expiresAt) ++rewritten;
    }
    EXPECT_GT(rewritten, 0);  // the children really were writing when they died
}

TEST(SetupFlow, ExpiredAndRefusedSetupsEndWithThePanelsWordsAndKeepTheRecord) {
    testing::TempDir dir;
    const fs::path file = dir / "pending-setup.json";
    LoopbackSetupPanel panel;
    SetupClient client(panel.origin());

    struct Case {
        std::function<void(const std::string&)> act;
        std::string message;
    };
    const std::vector<Case> cases = {
        {[&](const std::string& id) { panel.expire(id); }, "This setup has expired. Start again from the Mac app."},
        {[&](const std::string& id) { panel.refuse(id); }, "This Mac was declined in the web panel."},
    };
    for (const auto& c : cases) {
        PendingSetup setup = startOrResume(client, file);
        c.act(setup.ticket.id);
        for (const std::function<void()>& call : std::vector<std::function<void()>>{
                 [&] { client.status(setup); }, [&] { client.resume(setup); }, [&] { client.update(setup, "failed"); }}) {
            try {
                call();
                ADD_FAILURE() << "the panel's refusal was not reported";
            } catch (const SetupError& error) {
                EXPECT_EQ(std::string(error.what()), c.message);
            }
        }
        EXPECT_TRUE(SetupSessionStore::load(file));  // the next run can still decide what to do
        SetupSessionStore::finish(file);
    }
}

}  // namespace
}  // namespace tessaron
