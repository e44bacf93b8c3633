// The loopback control panel as its callers rely on it: token checks on every agent
// path, the claim and completion of lifecycle and resource commands, server control,
// SSH requests, network registration, the removal answer, setups and pairing codes
// driven by the real clients, injected faults, and the state file across a restart.

#include "cli/cli_options.h"
#include "cli/pairing_client.h"
#include "host/private_file.h"
#include "host/process_runner.h"
#include "panel/tunnel_messages.h"
#include "host/agent_configuration.h"
#include "panel/control_panel_client.h"
#include "panel/http_client.h"
#include "panel/resource_commands.h"
#include "panel/setup_client.h"
#include "panel/setup_records.h"
#include "support/panel_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using json::Json;
using testing::PanelProcess;

struct Answer {
    long status = 0;
    std::string text;
    Json body;  // null when not JSON
    http::Response raw;
};

Answer call(const PanelProcess& panel, const std::string& method, const std::string& path,
            const std::optional<std::string>& token, const std::optional<std::string>& body) {
    http::Request request;
    request.method = method;
    request.url = panel.base() + path;
    request.body = body;
    request.headers.emplace_back("Content-Type", "application/json");
    if (token) request.headers.emplace_back("Authorization", "Bearer " + *token);
    request.timeout = std::chrono::seconds(20);
    request.maxResponseBytes = 8u << 20;
    Answer answer;
    answer.raw = http::perform(request);
    answer.status = answer.raw.status;
    answer.text = answer.raw.body;
    try {
        answer.body = json::parse(answer.text);
    } catch (const json::DecodingError&) {
    }
    return answer;
}

// One agent request of a paired Mac: the machine ID goes into the body.
Answer agent(const PanelProcess& panel, const PanelProcess::Machine& mac, const std::string& endpoint, Json body) {
    body["machineId"] = mac.machineId;
    return call(panel, "POST", "/api/tessaron/agent/" + endpoint, mac.deviceToken, json::encode(body));
}

Json poll(const PanelProcess& panel, const PanelProcess::Machine& mac, const Json& bootId = "boot-1") {
    Answer a = agent(panel, mac,
                     "commands", {{"action", "poll"}, {"version", 2}, {"vmState", bootId.is_null() ? "Stopped" : "Running"},
                                  {"bootId", bootId}, {"appVersion", "1.4.0"}, {"powerIntent", "running"}});
    EXPECT_EQ(a.status, 200) << a.text;
    return a.body;
}

const Json runningSnapshot{{"cpu", 2}, {"memoryMiB", 4096}, {"vmState", "Running"}, {"bootId", "boot-1"}};

bool isErrorObject(const Json& body) { return body.is_object() && body.contains("error") && body["error"].is_string(); }

// --- tokens and the removal answer ---------------------------------------------------------

TEST(PanelStandin, EveryAgentPathRefusesAMissingOrForeignTokenWithAnErrorObject) {
    PanelProcess panel;
    const auto mac = panel.createMachine("Studio");
    const auto other = panel.createMachine("Mini");
    struct Case {
        const char* name;
        std::optional<std::string> token;
        std::string machineId;
        long status;
    };
    const std::vector<Case> cases = {
        {"no token", std::nullopt, mac.machineId, 401},
        {"unknown token", std::string("token_nobody"), mac.machineId, 401},
        {"another Mac's token", other.deviceToken, mac.machineId, 403},
    };
    for (const char* endpoint : {"control", "commands", "ssh", "resources", "network", "listeners", "heartbeat"}) {
        for (const auto& c : cases) {
            Answer a = call(panel, "POST", std::string("/api/tessaron/agent/") + endpoint, c.token,
                            json::encode(Json{{"machineId", c.machineId}, {"action", "poll"}}));
            EXPECT_EQ(a.status, c.status) << endpoint << ", " << c.name;
            EXPECT_TRUE(isErrorObject(a.body)) << endpoint << ", " << c.name << ": " << a.text;
        }
    }
    // The refused requests changed nothing.
    EXPECT_EQ(panel.machineState(mac.machineId)["commandPolls"], 0);
    // Unknown paths and oversized bodies are answered with an error object too.
    Answer unknown = call(panel, "POST", "/api/tessaron/agent/teleport", mac.deviceToken, std::string("{}"));
    EXPECT_EQ(unknown.status, 404);
    EXPECT_TRUE(isErrorObject(unknown.body)) << unknown.text;
    Answer huge = call(panel, "POST", "/api/tessaron/agent/heartbeat", mac.deviceToken, std::string(5u << 20, ' '));
    EXPECT_EQ(huge.status, 413);
    EXPECT_TRUE(isErrorObject(huge.body)) << huge.text;
    // A control URL with a path of its own reaches the same API.
    Answer below = call(panel, "POST", "/panel/api/tessaron/agent/heartbeat", mac.deviceToken,
                        json::encode(Json{{"machineId", mac.machineId}}));
    EXPECT_EQ(below.status, 200) << below.text;
}

TEST(PanelStandin, ARemovedMacGetsTheRemovalAnswerOnEveryAgentPath) {
    PanelProcess panel;
    for (bool deleteServer : {false, true}) {
        const auto mac = panel.createMachine();
        panel.removeMachine(mac.machineId, deleteServer);
        for (const char* endpoint : {"control", "commands", "ssh", "resources", "network", "listeners", "heartbeat"}) {
            Answer a = agent(panel, mac, endpoint, {{"action", "poll"}});
            EXPECT_EQ(a.status, 410) << endpoint;
            EXPECT_EQ(a.body["code"], "machine_removed") << endpoint;
            EXPECT_EQ(a.body["deleteServer"], deleteServer) << endpoint;
        }
    }
}

// --- lifecycle commands ---------------------------------------------------------------------

TEST(PanelStandin, ARestartIsClaimedOnceForItsBootAndCompletedOnce) {
    PanelProcess panel;
    const auto mac = panel.createMachine();
    EXPECT_TRUE(poll(panel, mac)["command"].is_null());
    const Json queued = panel.queueCommand(mac.machineId, "restart");  // the boot of the latest poll
    EXPECT_EQ(queued["bootId"], "boot-1");

    Json command = poll(panel, mac)["command"];
    ASSERT_TRUE(command.is_object());
    EXPECT_EQ(command, (Json{{"id", queued["id"]}, {"status", "queued"}, {"bootId", "boot-1"}, {"kind", "restart"}}));
    const std::string id = command["id"];

    auto claim = [&](const std::string& bootId) {
        Answer a = agent(panel, mac, "commands", {{"action", "claim"}, {"commandId", id}, {"bootId", bootId}});
        EXPECT_EQ(a.status, 200) << a.text;
        return a.body["mayExecute"];
    };
    EXPECT_EQ(claim("boot-other"), false);  // another boot: the restart is not for it
    EXPECT_EQ(claim("boot-1"), true);
    EXPECT_EQ(claim("boot-1"), false);      // only once
    EXPECT_EQ(poll(panel, mac)["command"]["status"], "running");  // still shown until completed

    auto complete = [&](const std::string& status, const Json& bootId) {
        return agent(panel, mac, "commands", {{"action", "complete"}, {"commandId", id}, {"status", status}, {"bootId", bootId}});
    };
    EXPECT_EQ(complete("succeeded", "boot-2").status, 200);
    EXPECT_EQ(complete("failed", nullptr).status, 200);  // a repeated report keeps the first outcome
    EXPECT_TRUE(poll(panel, mac, "boot-2")["command"].is_null());

    const Json seen = panel.machineState(mac.machineId)["commands"][0];
    EXPECT_EQ(seen["status"], "succeeded");
    EXPECT_EQ(seen["completion"]["bootId"], "boot-2");
    EXPECT_EQ(seen["completion"]["repeats"], 1);
    EXPECT_EQ(seen["claims"].size(), 3u);
    const Json state = panel.machineState(mac.machineId);
    EXPECT_EQ(state["appVersion"], "1.4.0");
    EXPECT_EQ(state["bootId"], "boot-2");
    EXPECT_EQ(state["lastPoll"]["powerIntent"], "running");
}

TEST(PanelStandin, BadCommandRequestsAreRefusedWithoutChangingTheCommand) {
    PanelProcess panel;
    const auto mac = panel.createMachine();
    const std::string id = panel.queueCommand(mac.machineId, "stop")["id"];
    const std::vector<std::pair<Json, long>> cases = {
        {{{"action", "claim"}, {"commandId", "cmd-999"}, {"bootId", ""}}, 409},
        {{{"action", "claim"}, {"commandId", id}}, 400},                                           // no boot ID
        {{{"action", "complete"}, {"commandId", id}, {"status", "done"}, {"bootId", nullptr}}, 400},  // unknown status
        {{{"action", "complete"}, {"commandId", id}, {"status", "failed"}}, 400},                  // boot ID key missing
        {{{"action", "reboot"}}, 400},
    };
    for (const auto& [body, status] : cases) {
        Answer a = agent(panel, mac, "commands", body);
        EXPECT_EQ(a.status, status) << json::encode(body);
        EXPECT_TRUE(isErrorObject(a.body)) << a.text;
    }
    Answer notJson = call(panel, "POST", "/api/tessaron/agent/commands", mac.deviceToken, std::string("{nope"));
    EXPECT_EQ(notJson.status, 400);
    EXPECT_EQ(poll(panel, mac, nullptr)["command"]["status"], "queued");
    // A stop carries no boot ID and may be claimed with an empty one.
    Answer claim = agent(panel, mac, "commands", {{"action", "claim"}, {"commandId", id}, {"bootId", ""}});
    EXPECT_EQ(claim.body["mayExecute"], true);
}

// --- server control ----------------------------------------------------------------------------

TEST(PanelStandin, ServerControlPausesResumesAndQueuesOneRestartPerRequest) {
    PanelProcess panel;
    const auto mac = panel.createMachine();
    Answer status = agent(panel, mac, "control", {{"action", "status"}});
    ASSERT_EQ(status.status, 200);
    EXPECT_EQ(status.body["publicAccess"]["state"], "enabled");
    EXPECT_EQ(status.body["canRestart"], false);  // never seen running

    Answer paused = agent(panel, mac, "control", {{"action", "disconnect"}, {"requestId", "R-1"}});
    EXPECT_EQ(paused.body["publishingPaused"], true);
    EXPECT_EQ(paused.body["publicAccess"]["state"], "paused");
    EXPECT_TRUE(paused.body["effectiveWithinSeconds"].is_number_integer());
    Answer resumed = agent(panel, mac, "control", {{"action", "connect"}, {"requestId", "R-2"}});
    EXPECT_EQ(resumed.body["publishingPaused"], false);

    EXPECT_EQ(agent(panel, mac, "control", {{"action", "restart"}, {"requestId", "R-3"}, {"confirmRestart", true}}).status, 409);
    poll(panel, mac);
    EXPECT_EQ(agent(panel, mac, "control", {{"action", "restart"}, {"requestId", "R-3"}}).status, 400);  // not confirmed
    for (int i = 0; i < 2; ++i) {  // the same request twice queues one restart
        Answer restart = agent(panel, mac, "control", {{"action", "restart"}, {"requestId", "R-4"}, {"confirmRestart", true}});
        ASSERT_EQ(restart.status, 200) << restart.text;
        EXPECT_EQ(restart.body["restart"]["status"], "queued");
        EXPECT_TRUE(restart.body["restart"]["requestedAt"].is_number());
        EXPECT_EQ(restart.body["canRestart"], false);
    }
    EXPECT_EQ(panel.machineState(mac.machineId)["commands"].size(), 1u);
    EXPECT_EQ(poll(panel, mac)["command"]["kind"], "restart");
    EXPECT_EQ(agent(panel, mac, "control", {{"action", "hibernate"}}).status, 400);

    panel.setPublicAccessPaused(mac.machineId, true);  // paused by the user in the panel
    EXPECT_EQ(agent(panel, mac, "control", {{"action", "status"}}).body["publishingPaused"], true);
}

// --- resources, SSH, network, listeners, heartbeat ------------------------------------------------

TEST(PanelStandin, AResourceChangeIsBasedOnTheLatestObservationAndClaimedOnce) {
    PanelProcess panel;
    const auto mac = panel.createMachine();
    auto resources = [&](Json body) {
        body["version"] = 1;
        body["snapshot"] = runningSnapshot;
        return agent(panel, mac, "resources", body);
    };
    EXPECT_EQ(resources({{"action", "poll"}}).body, (Json{{"command", nullptr}}));
    const Json queued = panel.queueResourceCommand(mac.machineId, 4, 8192);
    Answer polled = resources({{"action", "poll"}});
    const Json command = polled.body["command"];
    EXPECT_EQ(command, (Json{{"id", queued["id"]}, {"status", "queued"}, {"cpu", 4}, {"memoryMiB", 8192}, {"before", runningSnapshot}}));
    EXPECT_EQ(resources({{"action", "claim"}, {"commandId", command["id"]}}).body["mayExecute"], true);
    EXPECT_EQ(resources({{"action", "claim"}, {"commandId", command["id"]}}).body["mayExecute"], false);
    EXPECT_EQ(resources({{"action", "complete"}, {"commandId", command["id"]}}).status, 400);  // no success value
    EXPECT_EQ(resources({{"action", "complete"}, {"commandId", command["id"]}, {"success", true}}).status, 200);
    EXPECT_TRUE(resources({{"action", "poll"}}).body["command"].is_null());
    EXPECT_EQ(panel.machineState(mac.machineId)["resourceCommands"][0]["status"], "succeeded");

    Answer bad = agent(panel, mac, "resources", {{"action", "poll"}, {"version", 1}, {"snapshot", {{"cpu", "two"}}}});
    EXPECT_EQ(bad.status, 400);
}

TEST(PanelStandin, SshRequestsReachTheGuestShapeAndAreSettledByTheAcknowledgement) {
    PanelProcess panel;
    const auto mac = panel.createMachine();
    EXPECT_EQ(agent(panel, mac, "ssh", {{"action", "poll"}}).body, (Json{{"needsApply", false}}));
    const std::string key = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIDummyKeyDataForTests user@host";
    panel.queueSSH(mac.machineId, {key});
    Answer request = agent(panel, mac, "ssh", {{"action", "poll"}});
    EXPECT_EQ(request.body["needsApply"], true);
    EXPECT_EQ(request.body["publicKeys"], Json::array({key}));  // what guest_ssh.py reads
    const Json second = panel.queueSSH(mac.machineId, {key});
    const Json success = {{"action", "acknowledge"}, {"success", true}, {"ok", true}, {"account", "dev"}, {"addedKeys", 1}};
    // An answer is matched by the id it carries, never by age: without one it settles nothing,
    // and the newer request's answer settles the newer request.
    EXPECT_EQ(agent(panel, mac, "ssh", success).status, 200);
    EXPECT_EQ(panel.machineState(mac.machineId)["sshRequests"][0]["status"], "pending");
    Json answer = success;
    answer["requestId"] = second["id"];
    EXPECT_EQ(agent(panel, mac, "ssh", answer).status, 200);
    answer["requestId"] = request.body["requestId"];
    answer["success"] = false;
    EXPECT_EQ(agent(panel, mac, "ssh", answer).status, 200);
    EXPECT_EQ(agent(panel, mac, "ssh", {{"action", "poll"}}).body["needsApply"], false);
    const Json state = panel.machineState(mac.machineId);
    EXPECT_EQ(state["sshRequests"][0]["status"], "failed");
    EXPECT_EQ(state["sshRequests"][1]["status"], "applied");
    EXPECT_EQ(state["sshAcknowledgements"][0]["account"], "dev");
}

TEST(PanelStandin, NetworkRegistrationAnswersAGuestConfigurationAndRecordsTheReports) {
    PanelProcess panel;
    const auto mac = panel.createMachine();
    const std::string key = "aGVsbG8gd29ybGQgaGVsbG8gd29ybGQgaGVsbG8gd28=";
    Answer answer = agent(panel, mac, "network", {{"publicKey", key}, {"allocation", {{"cpu", 4}, {"memoryGiB", 6.5}}}});
    ASSERT_EQ(answer.status, 200) << answer.text;
    for (const char* field : {"address", "peerPublicKey", "endpoint"}) EXPECT_TRUE(answer.body[field].is_string()) << field;
    EXPECT_EQ(answer.body["peerPublicKey"].get<std::string>().size(), 44u);
    EXPECT_TRUE(answer.body["allowedIPs"].is_array());
    // The same Mac keeps its address; a configured answer replaces the default one.
    EXPECT_EQ(agent(panel, mac, "network", {{"publicKey", key}, {"allocation", {{"cpu", 4}, {"memoryGiB", 6.5}}}}).body["address"],
              answer.body["address"]);
    panel.admin("POST", "/_admin/machines/" + mac.machineId + "/network", Json{{"answer", {{"address", "10.9.0.2/32"}}}});
    EXPECT_EQ(agent(panel, mac, "network", {{"publicKey", key}, {"allocation", {{"cpu", 1}, {"memoryGiB", 1}}}}).body,
              (Json{{"address", "10.9.0.2/32"}}));
    for (const Json& bad : {Json{{"publicKey", "short"}, {"allocation", {{"cpu", 4}, {"memoryGiB", 6}}}},
                            Json{{"publicKey", key}, {"allocation", {{"cpu", 0}, {"memoryGiB", 6}}}},
                            Json{{"publicKey", key}}}) {
        EXPECT_EQ(agent(panel, mac, "network", bad).status, 400) << json::encode(bad);
    }

    const Json report{{"available", true}, {"truncated", false},
                      {"listeners", {{{"protocol", "tcp"}, {"port", 80}, {"processName", "nginx"}, {"binding", "all"}}}}};
    EXPECT_EQ(agent(panel, mac, "listeners", report).status, 200);
    EXPECT_EQ(agent(panel, mac, "heartbeat", Json::object()).status, 200);
    const Json state = panel.machineState(mac.machineId);
    EXPECT_EQ(state["network"]["registrations"], 3);
    EXPECT_EQ(state["network"]["allocation"]["memoryGiB"], 1);
    EXPECT_EQ(state["listeners"], report);
    EXPECT_EQ(state["heartbeats"], 1);
}

// Loads a guest script's functions (its main part does not run) and feeds one of them
// the panel's answer, the way the guest would receive it.
CommandResult guestCheck(const std::string& script, const std::string& call, const std::string& answer) {
    const std::string program =
        "import base64, json, sys\n"
        "path = sys.argv[1]\n"
        "scope = {'__name__': 'panel_check'}\n"
        "exec(compile(open(path).read(), path, 'exec'), scope)\n"
        "answer = sys.argv[2]\n"
        "print(json.dumps(" + call + "))\n";
    return ProcessCommandRunner().run(
        "/usr/bin/python3", {"-c", program, (testing::sourceDir() / "core" / "resources" / script).string(), answer});
}

TEST(PanelStandin, TheGuestScriptsAcceptThePanelsNetworkAndSshAnswers) {
    PanelProcess panel;
    const auto mac = panel.createMachine();
    const std::string guestKey = tessaron::base64Encode(std::string(32, '\x07'));
    Answer network = agent(panel, mac, "network", {{"publicKey", guestKey}, {"allocation", {{"cpu", 2}, {"memoryGiB", 4.0}}}});
    ASSERT_EQ(network.status, 200) << network.text;
    CommandResult config = guestCheck("guest_network.py", "scope['render_config'](json.loads(answer), 'PRIVATE')", network.text);
    ASSERT_EQ(config.exitCode, 0) << config.standardError;
    EXPECT_NE(config.standardOutput.find("Endpoint = 127.0.0.1:51820"), std::string::npos) << config.standardOutput;

    // An ed25519 public key: its data begins with the type name as an SSH string.
    std::string blob = std::string("\0\0\0\x0bssh-ed25519", 15) + std::string("\0\0\0\x20", 4) + std::string(32, 'k');
    const std::string key = "ssh-ed25519 " + tessaron::base64Encode(blob) + " dev@laptop";
    panel.queueSSH(mac.machineId, {key});
    Answer ssh = agent(panel, mac, "ssh", {{"action", "poll"}});
    CommandResult keys = guestCheck("guest_ssh.py", "scope['parse_request'](base64.b64encode(answer.encode()).decode())", ssh.text);
    ASSERT_EQ(keys.exitCode, 0) << keys.standardError;
    EXPECT_NE(keys.standardOutput.find("dev@laptop"), std::string::npos) << keys.standardOutput;
}

// --- the Mac's own agent client ------------------------------------------------------------

TEST(PanelStandin, TheMacsAgentClientUnderstandsThePanelsAnswersAndRefusals) {
    testing::TempHome home;  // no power-intent file: the poll says "running"
    PanelProcess panel;
    const auto mac = panel.createMachine();
    AgentConfiguration configuration;
    configuration.machineID = mac.machineId;
    configuration.controlURL = *Url::parse(panel.base());
    configuration.localHost = "127.0.0.1";
    LifecycleClient client(configuration, mac.deviceToken);

    EXPECT_FALSE(client.poll("Running", std::string("boot-1")));
    const std::string id = panel.queueCommand(mac.machineId, "restart")["id"];
    const auto command = client.poll("Running", std::string("boot-1"));
    ASSERT_TRUE(command);
    EXPECT_EQ(*command, (RestartCommand{id, "queued", "boot-1", "restart"}));
    EXPECT_TRUE(client.claim(*command, "boot-1"));
    client.complete(*command, "succeeded", std::string("boot-2"));
    EXPECT_EQ(panel.machineState(mac.machineId)["commands"][0]["status"], "succeeded");
    EXPECT_EQ(panel.machineState(mac.machineId)["powerIntent"], "running");

    LifecycleResourceClient resources(client);
    const ResourceObservation seen{2, 4096, "Running", std::string("boot-2")};
    EXPECT_FALSE(resources.pollResources(seen));
    panel.queueResourceCommand(mac.machineId, 4, 8192);
    const auto change = resources.pollResources(seen);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->before, seen);
    EXPECT_TRUE(resources.claimResource(*change, seen));
    resources.completeResource(*change, true, ResourceObservation{4, 8192, "Running", std::string("boot-3")});
    EXPECT_EQ(panel.machineState(mac.machineId)["resourceSnapshot"]["cpu"], 4);

    const Json status = json::parseObject(client.control("disconnect", std::string("R-1"), false));
    EXPECT_EQ(status["publishingPaused"], true);

    // Refusals, as the client reports them.
    const std::string commands = "/api/tessaron/agent/commands";
    struct Case {
        Json fault;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{{"status", 404}, {"body", {{"error", "ignored"}}}},
         "Server controls are not available on this panel yet. Hosting was not changed."},
        {{{"status", 500}, {"body", {{"error", "busy"}}}}, "busy"},
        {{{"status", 500}}, "Server control request failed (HTTP 500)."},
        {{{"redirect", panel.base() + "/elsewhere"}}, "Server control request failed (HTTP 302)."},
        {{{"oversizeBytes", 65537}}, "The panel response was too large."},
    };
    for (const auto& c : cases) {
        Json fault = c.fault;
        fault["path"] = commands;
        panel.injectFault(fault);
        try {
            client.poll("Running", std::nullopt);
            ADD_FAILURE() << "no refusal for " << json::encode(c.fault);
        } catch (const LifecycleFailure& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }

    panel.removeMachine(mac.machineId, true);
    try {
        client.poll("Running", std::nullopt);
        ADD_FAILURE() << "the removal was not recognised";
    } catch (const MachineRemovedError& error) {
        EXPECT_EQ(error.notice(), (RemovalNotice{mac.machineId, true}));
    }
}

// --- setups and pairing codes, through the real clients ---------------------------------------------

const std::string profile = R"({"name":"Studio","chip":"Apple M2","allocatedCpu":2,"allocatedMemoryGiB":4})";

TEST(PanelStandin, ASetupApprovedInThePanelEndsWithAPairedMachine) {
    PanelProcess panel;
    SetupClient client(*Url::parse(panel.base()));
    PendingSetup setup(client.start(profile), client.origin(), 2, 4);
    EXPECT_EQ(panel.waitForSetup(), setup.ticket.id);
    EXPECT_EQ(client.status(setup).stage, "awaiting_account");
    EXPECT_EQ(client.update(setup, "creating_vm").stage, "awaiting_account");  // recorded, not yet moved
    try {
        client.update(setup, "complete");
        ADD_FAILURE() << "a setup finished before the approval";
    } catch (const SetupError&) {
    }

    PendingSetup resumed = client.resume(setup);
    EXPECT_NE(resumed.ticket.code, setup.ticket.code);
    panel.approveSetup(setup.ticket.id, "owner@example.test");
    SetupProgress approved = client.status(resumed);
    EXPECT_EQ(approved.stage, "approved");
    EXPECT_EQ(approved.accountEmail, "owner@example.test");
    EXPECT_EQ(client.update(resumed, "linking").stage, "linking");
    SetupProgress done = client.update(resumed, "complete");
    EXPECT_EQ(done.stage, "complete");
    ASSERT_TRUE(done.machineId);

    // The Mac's own device token now works on the agent API.
    const PanelProcess::Machine mac{*done.machineId, resumed.deviceToken()};
    EXPECT_EQ(agent(panel, mac, "heartbeat", Json::object()).status, 200);
    EXPECT_EQ(panel.machineState(mac.machineId)["name"], "Studio");
    EXPECT_EQ(panel.setupState()["reported"],
              Json::array({"creating_vm", "resume", "linking", "complete"}));
}

TEST(PanelStandin, RefusedExpiredAndForeignSetupsAreAnsweredWithThePanelsWords) {
    PanelProcess panel;
    SetupClient client(*Url::parse(panel.base()));
    struct Case {
        std::function<void(const std::string&)> act;
        std::string message;
    };
    const std::vector<Case> cases = {
        {[&](const std::string& id) { panel.expireSetup(id); }, "This setup has expired. Start again from the Mac app."},
        {[&](const std::string& id) { panel.refuseSetup(id); }, "This Mac was declined in the web panel."},
        {[](const std::string&) {}, "This setup is not known to the panel."},
    };
    for (const auto& c : cases) {
        PendingSetup setup(client.start(profile), client.origin(), 2, 4);
        c.act(setup.ticket.id);
        if (c.message == "This setup is not known to the panel.") setup.ticket.deviceSecret = std::string(40, 'f');
        try {
            client.status(setup);
            ADD_FAILURE() << "no refusal for: " << c.message;
        } catch (const SetupError& error) {
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }
}

TEST(PanelStandin, APairingCodeHandsOutItsCredentialOnceAfterApproval) {
    PanelProcess panel;
    cli::PairingClient client(*Url::parse(panel.base()));
    cli::AgentProfilePayload profilePayload{"Studio", "Apple M2", "Mac14,3", 8, 16, 2, 4};
    const auto code = client.createCode(profilePayload);
    EXPECT_EQ(client.claim(code.code, code.deviceSecret).status, "pending");
    try {
        client.claim(code.code, "wrong-secret");
        ADD_FAILURE() << "a foreign secret was accepted";
    } catch (const cli::CLIError& error) {
        EXPECT_EQ(std::string(error.what()), "This pairing code belongs to another Mac.");
    }
    const auto mac = panel.approvePairingCode(code.code, {"ws://127.0.0.1:9/tunnel"});
    const auto paired = client.claim(code.code, code.deviceSecret);
    EXPECT_EQ(paired.status, "paired");
    EXPECT_EQ(paired.machineId, mac.machineId);
    EXPECT_EQ(paired.deviceToken, mac.deviceToken);
    EXPECT_EQ(paired.edgeURLs, std::vector<std::string>{"ws://127.0.0.1:9/tunnel"});
    EXPECT_EQ(client.claim(code.code, code.deviceSecret).status, "claimed");

    const auto refused = client.createCode(profilePayload);
    panel.refusePairingCode(refused.code);
    EXPECT_THROW(client.claim(refused.code, refused.deviceSecret), cli::CLIError);
}

// --- faults ------------------------------------------------------------------------------------------

TEST(PanelStandin, InjectedFaultsReplaceTheAnswerForTheNextRequestsOnly) {
    PanelProcess panel;
    const auto mac = panel.createMachine();
    const std::string path = "/api/tessaron/agent/heartbeat";
    panel.injectFault({{"path", path}, {"status", 503}, {"body", {{"error", "busy"}}}, {"times", 2}});
    panel.injectFault({{"path", "/api/tessaron/agent/commands"}, {"method", "GET"}, {"status", 500}});  // other method
    for (int i = 0; i < 2; ++i) {
        Answer a = agent(panel, mac, "heartbeat", Json::object());
        EXPECT_EQ(a.status, 503);
        EXPECT_EQ(a.body, (Json{{"error", "busy"}}));
    }
    EXPECT_EQ(agent(panel, mac, "heartbeat", Json::object()).status, 200);
    EXPECT_EQ(panel.machineState(mac.machineId)["heartbeats"], 1);  // the faulted requests did no work
    EXPECT_EQ(poll(panel, mac)["command"], nullptr);

    panel.injectFault({{"path", path}, {"redirect", "http://127.0.0.1:9/elsewhere"}});
    Answer redirected = agent(panel, mac, "heartbeat", Json::object());
    EXPECT_EQ(redirected.status, 302);
    EXPECT_EQ(redirected.raw.header("Location"), "http://127.0.0.1:9/elsewhere");

    panel.injectFault({{"path", path}, {"malformed", true}});
    Answer malformed = agent(panel, mac, "heartbeat", Json::object());
    EXPECT_EQ(malformed.status, 200);
    EXPECT_TRUE(malformed.body.is_null());

    panel.injectFault({{"path", path}, {"oversizeBytes", 65537}});
    Answer large = agent(panel, mac, "heartbeat", Json::object());
    EXPECT_EQ(large.text.size(), 65537u);
    EXPECT_TRUE(large.body.is_object());

    panel.injectFault({{"path", path}, {"delayMs", 300}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(agent(panel, mac, "heartbeat", Json::object()).status, 200);  // delayed, then served
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    panel.injectFault({{"path", path}, {"drop", true}});  // the connection ends mid-answer
    EXPECT_THROW(agent(panel, mac, "heartbeat", Json::object()), http::TransportError);
    EXPECT_EQ(agent(panel, mac, "heartbeat", Json::object()).status, 200);

    panel.injectFault({{"path", "/api/tessaron/agent/"}, {"prefix", true}, {"status", 404}});  // any agent path
    EXPECT_EQ(agent(panel, mac, "listeners", Json::object()).status, 404);

    panel.injectFault({{"path", path}, {"status", 500}, {"times", 0}});  // until cleared
    EXPECT_EQ(agent(panel, mac, "heartbeat", Json::object()).status, 500);
    EXPECT_EQ(agent(panel, mac, "heartbeat", Json::object()).status, 500);
    panel.clearFaults();
    EXPECT_EQ(agent(panel, mac, "heartbeat", Json::object()).status, 200);

    EXPECT_EQ(panel.admin("POST", "/_admin/faults", Json{{"path", path}}).status, 400);  // a fault that does nothing
    EXPECT_FALSE(panel.requests().empty());
}

// --- state file --------------------------------------------------------------------------------------

TEST(PanelStandin, TheStateFileKeepsMachinesTokensAndCommandsAcrossARestart) {
    testing::TempDir dir;
    const fs::path file = dir / "panel-state.json";
    PanelProcess::Machine mac;
    std::string commandId;
    {
        PanelProcess panel({file, 0});
        mac = panel.createMachine("Studio");
        poll(panel, mac);
        commandId = panel.queueCommand(mac.machineId, "restart")["id"];
        panel.kill();  // no chance to save on the way out
    }
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600);

    PanelProcess again({file, 0});
    Json command = poll(again, mac)["command"];
    EXPECT_EQ(command["id"], commandId);
    EXPECT_EQ(command["bootId"], "boot-1");
    EXPECT_EQ(again.machineState(mac.machineId)["commandPolls"], 2);
    EXPECT_NE(again.queueCommand(mac.machineId, "stop")["id"], commandId);  // identifiers are not reused
}

TEST(PanelStandin, ConcurrentRequestsAreAllCountedAndSaved) {
    testing::TempDir dir;
    const fs::path file = dir / "panel-state.json";
    PanelProcess::Machine mac;
    constexpr int threads = 6, rounds = 15;
    {
        PanelProcess panel({file, 0});
        mac = panel.createMachine();
        std::vector<std::thread> workers;
        std::atomic<int> failures{0};
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&] {
                for (int i = 0; i < rounds; ++i)
                    if (agent(panel, mac, "heartbeat", Json::object()).status != 200) ++failures;
            });
        }
        for (auto& worker : workers) worker.join();
        EXPECT_EQ(failures, 0);
        EXPECT_EQ(panel.machineState(mac.machineId)["heartbeats"], threads * rounds);
    }
    PanelProcess again({file, 0});
    EXPECT_EQ(again.machineState(mac.machineId)["heartbeats"], threads * rounds);
}

// Also a termination that arrives right after the start line, before the server loop
// runs: repeated, since that moment is short.
TEST(PanelStandin, TerminationEndsThePanelCleanly) {
    for (int i = 0; i < 10; ++i) {
        PanelProcess panel;
        const int status = panel.terminate();
        EXPECT_TRUE(WIFEXITED(status)) << "run " << i;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "run " << i;
    }
}

TEST(PanelStandin, AStateFileIsLoadedWithDefaultsOrRefusedWhenDamaged) {
    testing::TempDir dir;
    const fs::path file = dir / "panel-state.json";
    // A hand-written machine with only its ID and token gets every other record.
    private_file::write(file, json::encode(Json{{"machines", {{"mac-1", {{"machineId", "mac-1"}, {"deviceToken", "tok-1"}}}}},
                                                {"setups", Json::object()}, {"pairingCodes", Json::object()},
                                                {"sequence", 7}}));
    {
        PanelProcess panel({file, 0});
        const PanelProcess::Machine mac{"mac-1", "tok-1"};
        EXPECT_TRUE(poll(panel, mac)["command"].is_null());
        EXPECT_EQ(agent(panel, mac, "control", {{"action", "status"}}).status, 200);
        EXPECT_EQ(panel.queueCommand("mac-1", "stop")["id"], "cmd-8");
    }
    for (const std::string& damaged : {std::string("{\"machines\": "), std::string("[]"),
                                       std::string(R"({"machines":{"m":{}},"setups":{},"pairingCodes":{},"sequence":1})")}) {
        private_file::write(file, damaged);
        EXPECT_THROW(PanelProcess({file, 0}), std::runtime_error) << damaged;
    }
}

}  // namespace
}  // namespace tessaron
