#include "panel/command_polling.h"

#include "panel/control_panel_client.h"
#include "panel/receipt_store.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

namespace tessaron {
namespace {
using testing::ScriptedHttpServer;
using Reply = ScriptedHttpServer::Response;

Reply reply(int status, std::string body) { return {status, std::move(body), {{"Content-Type", "application/json"}}}; }

// A loopback panel whose answer the test sets, and a client paired with it.
struct Panel {
    std::string answer = "{}";
    int status = 200;
    ScriptedHttpServer server{[this](const auto&) { return reply(status, answer); }};
    LifecycleClient client{AgentConfiguration{"mac-1", *Url::parse(server.base()), {}, "127.0.0.1", std::nullopt,
                                              std::nullopt},
                           "tok"};

    json::Json lastBody() const {
        auto requests = server.requests();
        if (requests.empty()) return nullptr;
        return json::parse(requests.back().body);
    }
    std::string lastTarget() const {
        auto requests = server.requests();
        return requests.empty() ? "" : requests.back().target;
    }
};

std::string outcomeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const LifecycleFailure& failure) {
        return failure.what();
    } catch (const json::DecodingError&) {
        return "decoding";
    } catch (const MachineRemovedError&) {
        return "removed";
    }
    return "(nothing)";
}

TEST(CommandPolling, PollSendsStateBootIDVersionAndPowerIntent) {
    testing::TempHome home;
    Panel panel;
    auto intent = DiskOperationReceiptStore<VMPowerIntent>::forThisMac();

    panel.client.poll("Running", std::string("boot-1"));
    EXPECT_EQ(panel.lastTarget(), "/api/tessaron/agent/commands");
    EXPECT_EQ(panel.lastBody(), (json::Json{{"action", "poll"},
                                            {"version", 2},
                                            {"vmState", "Running"},
                                            {"bootId", "boot-1"},
                                            {"appVersion", LifecycleClient::appVersion()},
                                            {"powerIntent", "running"},
                                            {"machineId", "mac-1"}}));
    EXPECT_TRUE(panel.lastBody()["version"].is_number_integer());

    panel.client.poll("Stopped", std::nullopt);
    ASSERT_TRUE(panel.lastBody().contains("bootId"));
    EXPECT_TRUE(panel.lastBody()["bootId"].is_null());

    struct Case {
        std::string file;
        mode_t mode;
        std::string sent;
    };
    const std::vector<Case> cases = {
        {R"({"desired":"stopped","setAt":1})", 0600, "stopped"},
        {R"({"desired":"running","setAt":1})", 0600, "running"},
        {R"({"desired":"paused","setAt":1})", 0600, "running"},
        {R"({"desired":"stopped"})", 0600, "running"},
        {"garbage", 0600, "running"},
        {R"({"desired":"stopped","setAt":1})", 0644, "running"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::filesystem::create_directories(intent.url().parent_path());
        testing::writeFile(intent.url(), c.file);
        ::chmod(intent.url().c_str(), c.mode);
        panel.client.poll("Stopped", std::nullopt);
        EXPECT_EQ(panel.lastBody()["powerIntent"], c.sent);
    }
}

TEST(CommandPolling, PollReadsTheWaitingCommand) {
    testing::TempHome home;
    Panel panel;
    struct Case {
        std::string answer;
        std::optional<RestartCommand> command;  // nothing: none expected
        std::string failure = "(nothing)";
    };
    const std::vector<Case> cases = {
        {"{}", std::nullopt},
        {R"({"command":null,"other":1})", std::nullopt},
        {R"({"command":{"id":"c1","status":"queued"}})", RestartCommand{"c1", "queued", "", "restart"}},
        {R"({"command":{"id":"c1","status":"running","bootId":null,"kind":null}})",
         RestartCommand{"c1", "running", "", "restart"}},
        {R"({"command":{"id":"c2","status":"queued","bootId":"b","kind":"stop"}})",
         RestartCommand{"c2", "queued", "b", "stop"}},
        {R"({"command":{"id":"c1"}})", std::nullopt, "decoding"},
        {R"({"command":{"status":"queued"}})", std::nullopt, "decoding"},
        {R"({"command":{"id":5,"status":"queued"}})", std::nullopt, "decoding"},
        {R"({"command":"restart"})", std::nullopt, "decoding"},
        {R"([])", std::nullopt, "decoding"},
        {"not json", std::nullopt, "decoding"},
        {"", std::nullopt, "decoding"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        panel.answer = c.answer;
        std::optional<RestartCommand> got;
        EXPECT_EQ(outcomeOf([&] { got = panel.client.poll("Running", std::nullopt); }), c.failure);
        EXPECT_EQ(got, c.command);
    }
}

TEST(CommandPolling, ClaimAndCompleteCarryTheCommandAndBootID) {
    Panel panel;
    const RestartCommand command{"c9", "queued", "b1", "restart"};

    panel.answer = R"({"mayExecute":true})";
    EXPECT_TRUE(panel.client.claim(command, ""));
    EXPECT_EQ(panel.lastBody(), (json::Json{{"action", "claim"}, {"commandId", "c9"}, {"bootId", ""}, {"machineId", "mac-1"}}));
    panel.answer = R"({"mayExecute":false})";
    EXPECT_FALSE(panel.client.claim(command, "b1"));
    for (const char* bad : {"{}", R"({"mayExecute":"yes"})", R"({"mayExecute":null})", "[true]"}) {
        SCOPED_TRACE(bad);
        panel.answer = bad;
        EXPECT_EQ(outcomeOf([&] { panel.client.claim(command, "b1"); }), "decoding");
    }

    panel.answer = "not read";
    panel.client.complete(command, "failed", std::nullopt);
    EXPECT_EQ(panel.lastBody(), (json::Json{{"action", "complete"},
                                            {"commandId", "c9"},
                                            {"status", "failed"},
                                            {"bootId", nullptr},
                                            {"machineId", "mac-1"}}));
    panel.client.complete(command, "succeeded", std::string("b2"));
    EXPECT_EQ(panel.lastBody()["bootId"], "b2");
    EXPECT_EQ(panel.lastBody()["status"], "succeeded");

    panel.status = 410;
    panel.answer = R"({"code":"machine_removed"})";
    EXPECT_EQ(outcomeOf([&] { panel.client.complete(command, "succeeded", std::nullopt); }), "removed");
    panel.status = 500;
    panel.answer = R"({"error":"Command expired."})";
    EXPECT_EQ(outcomeOf([&] { panel.client.claim(command, "b1"); }), "Command expired.");
}

TEST(CommandPolling, RelaysSSHPreparation) {
    Panel panel;
    panel.answer = R"({"request":{"publicKey":"ssh-ed25519 AAAA"}})";
    EXPECT_EQ(panel.client.ssh({{"action", "poll"}}), panel.answer);
    EXPECT_EQ(panel.lastTarget(), "/api/tessaron/agent/ssh");
    EXPECT_EQ(panel.lastBody(), (json::Json{{"action", "poll"}, {"machineId", "mac-1"}}));

    panel.client.acknowledgeSSH(R"({"action":"prepared","user":"tessaron","port":22,"ok":true})");
    EXPECT_EQ(panel.lastBody(), (json::Json{{"action", "acknowledge"},
                                            {"user", "tessaron"},
                                            {"port", 22},
                                            {"ok", true},
                                            {"machineId", "mac-1"}}));

    const auto sent = panel.server.requests().size();
    EXPECT_EQ(outcomeOf([&] { panel.client.acknowledgeSSH(R"([{"ok":true}])"); }), "Invalid SSH preparation result.");
    EXPECT_EQ(outcomeOf([&] { panel.client.acknowledgeSSH(R"("done")"); }), "Invalid SSH preparation result.");
    EXPECT_EQ(outcomeOf([&] { panel.client.acknowledgeSSH("Traceback (most recent call last):"); }), "decoding");
    EXPECT_EQ(panel.server.requests().size(), sent);
}

}  // namespace
}  // namespace tessaron
