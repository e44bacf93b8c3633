// SSH preparation and the listening-port report against a scripted runner: what is
// sent into the guest, the account and process-name rules, and the strict report check.

#include "host/guest_connection_status.h"
#include "host/guest_scripts.h"
#include "host/json.h"
#include "host/lima_manager.h"
#include "host/paths.h"
#include "host/base64.h"
#include "support/fake_command_runner.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>

namespace tessaron {
namespace {
namespace fs = std::filesystem;
using testing::FakeCommandRunner;
using Argv = std::vector<std::string>;

constexpr const char* exe = "/opt/lima/bin/limactl";

// Puts guest scripts into a private bundle and a private module folder for one test.
class ScriptPlaces {
public:
    ScriptPlaces() {
        fs::create_directories(resources());
        fs::create_directories(module_.path());
        bundle::overrideMainBundle(bundle_.path());
        guest_scripts::overrideModuleResourcesDirectory(module_.path());
    }
    ~ScriptPlaces() {
        bundle::clearMainBundleOverride();
        guest_scripts::clearModuleResourcesOverride();
    }
    fs::path resources() const { return bundle_.path() / "Contents" / "Resources"; }
    void inBundle(const std::string& name, const std::string& text) const { testing::writeFile(resources() / name, text); }
    void inModule(const std::string& name, const std::string& text) const {
        testing::writeFile(module_.path() / name, text);
    }

private:
    testing::TempDir bundle_;
    testing::TempDir module_;
};

struct Fixture {
    ScriptPlaces scripts;
    std::shared_ptr<FakeCommandRunner> runner = std::make_shared<FakeCommandRunner>();
    LimaManager manager{"tessaron", exe, runner};
};

std::string failureText(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const LimaManagerError& error) {
        EXPECT_EQ(error.kind(), LimaManagerError::Kind::commandFailed);
        return error.what();
    }
    ADD_FAILURE() << "no LimaManagerError was thrown";
    return "";
}

const Argv statusVector = {"list", "tessaron", "--format", "{{.Status}}"};
const Argv accountVector = {"shell", "tessaron", "--", "id", "-un"};

// ---------------------------------------------------------------------------------------
// prepareSSH

TEST(GuestSSH, SendsTheAccountAndTheBase64RequestAndReturnsTheAnswerUnchanged) {
    Fixture f;
    f.scripts.inBundle("guest_ssh.py", "# bundled ssh script\n");
    f.scripts.inModule("guest_ssh.py", "# module ssh script\n");
    const std::string request = R"({"needsApply":true,"publicKeys":["ssh-ed25519 AAAA x"]})";
    const std::string answer = "{\"success\":true,\"addedKeys\":1}\n";
    f.runner->thenOutput("Running\n").thenOutput("tessa\n").thenOutput(answer);

    EXPECT_EQ(f.manager.prepareSSH(request), answer);  // untrimmed
    EXPECT_EQ(f.runner->argumentVectors(),
              (std::vector<Argv>{statusVector, accountVector,
                                 {"shell", "tessaron", "--", "sudo", "-n", "python3", "-c", "# bundled ssh script\n",
                                  "tessa", base64Encode(request)}}));
}

TEST(GuestSSH, RequestSizeAndVMStateGateEverything) {
    struct Case {
        std::string label;
        std::size_t requestBytes;
        std::string status;
        std::size_t expectedCalls;  // before the refusal
    };
    const std::vector<Case> cases = {
        {"over the limit, running", 100'001, "Running", 0},
        {"at the limit, stopped", 100'000, "Stopped", 1},
        {"lower-case running", 10, "running", 1},
        {"starting", 10, "Starting", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Fixture f;
        f.runner->thenOutput(c.status + "\n");
        EXPECT_EQ(failureText([&] { f.manager.prepareSSH(std::string(c.requestBytes, 'x')); }),
                  "Keep Linux running to prepare SSH.");
        EXPECT_EQ(f.runner->calls().size(), c.expectedCalls);
    }
}

TEST(GuestSSH, AccountMustBeAnOrdinaryASCIIName) {
    EXPECT_TRUE(guest_output::isSafeAccountName("tessa"));
    EXPECT_TRUE(guest_output::isSafeAccountName("Tessa"));
    EXPECT_TRUE(guest_output::isSafeAccountName("_svc-01"));
    EXPECT_TRUE(guest_output::isSafeAccountName(std::string(32, 'a')));
    for (const std::string& bad : {std::string("root"), std::string(33, 'a'), std::string(""), std::string("9lives"),
                                  std::string("-tessa"), std::string("tes sa"), std::string("tessa\n"),
                                  std::string("tessa\nroot"), std::string("tes.sa"), std::string("tes$sa"),
                                  std::string("\u212Aelvin"),  // KELVIN SIGN folds to "k" in Unicode matching
                                  std::string("te\u017Fsa"),   // LATIN SMALL LETTER LONG S folds to "s"
                                  std::string("tessa\0x", 7)}) {
        EXPECT_FALSE(guest_output::isSafeAccountName(bad)) << bad;
    }

    // Through prepareSSH: the account is trimmed first, then refused or used.
    for (const auto& [printed, accepted] : std::vector<std::pair<std::string, bool>>{
             {"root\n", false}, {"  Dev_User \n", true}, {"tessa\nroot\n", false}, {"\n", false}}) {
        SCOPED_TRACE(printed);
        Fixture f;
        f.runner->thenOutput("Running").thenOutput(printed);
        if (accepted) {
            f.scripts.inModule("guest_ssh.py", "#\n");
            f.runner->thenOutput("{}");
            EXPECT_EQ(f.manager.prepareSSH("{}"), "{}");
            EXPECT_EQ(f.runner->argumentVectors().back().at(8), "Dev_User");
        } else {
            EXPECT_EQ(failureText([&] { f.manager.prepareSSH("{}"); }), "Could not identify your Linux account safely.");
            EXPECT_EQ(f.runner->calls().size(), 2u);
        }
    }
}

TEST(GuestSSH, MissingScriptScriptFailureAndUnusableAnswers) {
    {
        Fixture f;  // neither place has guest_ssh.py
        f.runner->thenOutput("Running").thenOutput("tessa");
        EXPECT_EQ(failureText([&] { f.manager.prepareSSH("{}"); }), "Update Tessaron to prepare SSH automatically.");
        EXPECT_EQ(f.runner->calls().size(), 2u);
    }
    {
        Fixture f;
        f.scripts.inModule("guest_ssh.py", "# module copy\n");
        f.runner->thenOutput("Running").thenOutput("tessa").thenFailure(1, "The SSH request could not be read.\n");
        EXPECT_EQ(failureText([&] { f.manager.prepareSSH("{}"); }), "The SSH request could not be read.");
        EXPECT_EQ(f.runner->argumentVectors().back().at(7), "# module copy\n");
    }
    struct AnswerCase {
        std::string label;
        CommandResult result;
        std::optional<std::string> failure;
    };
    CommandResult dropped;  // what ProcessCommandRunner reports for output that is not UTF-8
    dropped.standardOutputValid = false;
    const std::vector<AnswerCase> answers = {
        {"exactly 65536 bytes", {0, std::string(65'536, 'a'), ""}, std::nullopt},
        {"65537 bytes", {0, std::string(65'537, 'a'), ""}, "SSH preparation returned too much data."},
        {"raw bytes that are not UTF-8", {0, "{\"ok\":\xff}", ""}, "SSH preparation returned an answer that is not valid text."},
        {"output the runner dropped as not UTF-8", dropped, "SSH preparation returned an answer that is not valid text."},
        {"empty but valid", {0, "", ""}, std::nullopt},
    };
    for (const AnswerCase& c : answers) {
        SCOPED_TRACE(c.label);
        Fixture f;
        f.scripts.inBundle("guest_ssh.py", "#\n");
        f.runner->thenOutput("Running").thenOutput("tessa");
        FakeCommandRunner::Reply reply;
        reply.result = c.result;
        f.runner->then(reply);
        if (c.failure) {
            EXPECT_EQ(failureText([&] { f.manager.prepareSSH("{}"); }), *c.failure);
        } else {
            EXPECT_EQ(f.manager.prepareSSH("{}"), c.result.standardOutput);
        }
    }
}

TEST(GuestSSH, ProcessRunnerMarksStandardOutputThatIsNotUTF8) {
    ProcessCommandRunner runner;
    const CommandResult bad = runner.run("/bin/sh", {"-c", "printf 'ok\\377'"});
    EXPECT_EQ(bad.standardOutput, "");
    EXPECT_FALSE(bad.standardOutputValid);
    const CommandResult empty = runner.run("/bin/sh", {"-c", "true"});
    EXPECT_TRUE(empty.standardOutputValid);
    const CommandResult good = runner.run("/bin/sh", {"-c", "printf 'caf\\303\\251'"});
    EXPECT_TRUE(good.standardOutputValid);
    EXPECT_EQ(good.standardOutput, "caf\u00e9");
}

// ---------------------------------------------------------------------------------------
// The listener report

json::Json listener(const std::string& protocol, std::int64_t port, const json::Json& processName = nullptr,
                    const std::string& binding = "all") {
    json::Json object = {{"protocol", protocol}, {"port", port}, {"binding", binding}};
    if (!processName.is_null()) object["processName"] = processName;
    return object;
}

std::string report(const std::vector<json::Json>& listeners, bool available = true, bool truncated = false) {
    json::Json array = json::Json::array();
    for (const json::Json& item : listeners) array.push_back(item);
    return json::encode({{"available", available}, {"truncated", truncated}, {"listeners", array}});
}

TEST(GuestListeners, ReportsThatPassComeBackCompleteAndInOrder) {
    // Keys other than the report's are dropped, processName is always there, order is kept.
    const std::vector<json::Json> in = {listener("udp", 53, "systemd-resolved", "loopback"), listener("tcp", 8080, nullptr, "specific"),
         listener("udp", 8080, "node+ v2.0_x", "all")};
    json::Json withExtra = json::parseObject(report(in));
    withExtra["hostname"] = "guest";
    withExtra["listeners"][0]["pid"] = 12;
    const json::Json out = json::parse(guest_output::validatedListenerReport(json::encode(withExtra) + "\n"));
    EXPECT_EQ(out, json::parse(R"({"available":true,"truncated":false,"listeners":[
        {"protocol":"udp","port":53,"processName":"systemd-resolved","binding":"loopback"},
        {"protocol":"tcp","port":8080,"processName":null,"binding":"specific"},
        {"protocol":"udp","port":8080,"processName":"node+ v2.0_x","binding":"all"}]})"));

    EXPECT_EQ(json::parse(guest_output::validatedListenerReport(report({}, false, false))),
              json::parse(R"({"available":false,"truncated":false,"listeners":[]})"));

    std::vector<json::Json> sixtyFour;
    for (int port = 1; port <= 64; ++port) sixtyFour.push_back(listener("tcp", port));
    EXPECT_EQ(json::parse(guest_output::validatedListenerReport(report(sixtyFour, true, true)))["listeners"].size(), 64u);

    // A name of exactly 64 characters passes.
    EXPECT_NO_THROW(guest_output::validatedListenerReport(report({listener("tcp", 1, std::string(64, 'n'))})));
}

TEST(GuestListeners, AnyBrokenRuleRefusesTheWholeReport) {
    std::vector<json::Json> sixtyFive;
    for (int port = 1; port <= 65; ++port) sixtyFive.push_back(listener("tcp", port));
    std::string padded = report({});
    padded += std::string(16'385 - padded.size(), ' ');  // valid JSON, but over the size limit

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"65 listeners", report(sixtyFive)},
        {"over 16384 bytes", padded},
        {"unavailable with listeners", report({listener("tcp", 22)}, false)},
        {"unavailable but truncated", report({}, false, true)},
        {"same protocol and port twice", report({listener("tcp", 8080), listener("tcp", 8080, "other", "loopback")})},
        {"port 0", report({listener("tcp", 0)})},
        {"port 65536", report({listener("udp", 65536)})},
        {"negative port", report({listener("udp", -22)})},
        {"protocol in capitals", report({listener("TCP", 22)})},
        {"other protocol", report({listener("sctp", 22)})},
        {"other binding", report({listener("tcp", 22, nullptr, "public")})},
        {"name with a semicolon", report({listener("tcp", 22, "sshd;rm")})},
        {"name with a trailing newline", report({listener("tcp", 22, "sshd\n")})},
        {"empty name", report({listener("tcp", 22, "")})},
        {"name of 65 characters", report({listener("tcp", 22, std::string(65, 'n'))})},
        {"name with non-ASCII letters", report({listener("tcp", 22, "caf\u00e9")})},
        {"one bad listener among good ones", report({listener("tcp", 22), listener("tcp", 80, "a|b")})},
    };
    for (const auto& [label, text] : cases) {
        EXPECT_EQ(failureText([&] { guest_output::validatedListenerReport(text); }),
                  "The Linux app list could not be read. You can still add a connection manually.")
            << label;
    }
}

TEST(GuestListeners, OutputThatIsNotTheReportSurfacesTheDecoderError) {
    for (const std::string& text : {std::string("not json"), std::string(""), std::string("[]"),
                                   std::string(R"({"available":true,"truncated":false})"),
                                   std::string(R"({"available":"yes","truncated":false,"listeners":[]})"),
                                   std::string(R"({"available":true,"truncated":false,"listeners":[{"protocol":"tcp","port":"22","binding":"all"}]})"),
                                   std::string(R"({"available":true,"truncated":false,"listeners":[{"protocol":"tcp","port":22,"binding":"all","processName":7}]})"),
                                   std::string(R"({"available":true,"truncated":false,"listeners":[1]})")}) {
        EXPECT_THROW(guest_output::validatedListenerReport(text), json::DecodingError) << text;
    }
}

TEST(GuestListeners, RunsTheScriptAndChecksWhatItPrinted) {
    {
        Fixture f;
        f.scripts.inModule("guest_listeners.py", "# listeners\n");
        f.runner->thenOutput(report({listener("tcp", 22, "sshd")}) + "\n");
        EXPECT_EQ(json::parse(f.manager.listeningPorts())["listeners"][0]["processName"], "sshd");
        EXPECT_EQ(f.runner->argumentVectors(),
                  (std::vector<Argv>{{"shell", "tessaron", "--", "sudo", "-n", "python3", "-c", "# listeners\n"}}));
    }
    {
        Fixture f;
        EXPECT_EQ(failureText([&] { f.manager.listeningPorts(); }),
                  "The app cannot read the Linux app list. Update Tessaron and try again.");
        EXPECT_TRUE(f.runner->calls().empty());
    }
    {
        Fixture f;
        f.scripts.inBundle("guest_listeners.py", "#\n");
        f.runner->thenFailure(1, "sudo: a password is required\n");
        EXPECT_EQ(failureText([&] { f.manager.listeningPorts(); }), "sudo: a password is required");
    }
}

}  // namespace
}  // namespace tessaron
