// Guest networking against a scripted runner: the installer and script vectors, the
// public-key and status checks, the configuration limits and the status re-read.

#include "host/guest_connection_status.h"
#include "host/guest_scripts.h"
#include "host/json.h"
#include "host/lima_manager.h"
#include "host/paths.h"
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
// A real 32-byte key in Base64.
constexpr const char* key32 = "hqObNZSe+fl+AuYK1ywlAOk3rt1in4bEuRl3/15cFyk=";

class ScriptPlaces {
public:
    ScriptPlaces() {
        fs::create_directories(bundle_.path() / "Contents" / "Resources");
        bundle::overrideMainBundle(bundle_.path());
        guest_scripts::overrideModuleResourcesDirectory(module_.path());
    }
    ~ScriptPlaces() {
        bundle::clearMainBundleOverride();
        guest_scripts::clearModuleResourcesOverride();
    }
    void inBundle(const std::string& text) const {
        testing::writeFile(bundle_.path() / "Contents" / "Resources" / "guest_network.py", text);
    }
    void inModule(const std::string& text) const { testing::writeFile(module_.path() / "guest_network.py", text); }

private:
    testing::TempDir bundle_;
    testing::TempDir module_;
};

struct Fixture {
    ScriptPlaces scripts;
    std::shared_ptr<FakeCommandRunner> runner = std::make_shared<FakeCommandRunner>();
    LimaManager manager{"tessaron", exe, runner};
    Fixture() { scripts.inModule("# network\n"); }
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

Argv scriptVector(const std::string& script, std::vector<std::string> tail) {
    Argv argv = {"shell", "tessaron", "--", "sudo", "python3", "-c", script};
    argv.insert(argv.end(), tail.begin(), tail.end());
    return argv;
}

const std::string installer =
    "if command -v wg >/dev/null && command -v wg-quick >/dev/null && command -v python3 >/dev/null; then exit 0; fi\n"
    "if command -v apk >/dev/null; then apk add --no-cache wireguard-tools python3 iproute2\n"
    "elif command -v apt-get >/dev/null; then apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y "
    "wireguard-tools python3 iproute2\n"
    "else printf '%s\\n' 'Install wireguard-tools, python3 and iproute2 in the guest, then retry.' >&2; exit 1\n"
    "fi";

// ---------------------------------------------------------------------------------------
// prepareWireGuard

TEST(GuestNetworking, PrepareInstallsThenAsksTheScriptForTheKey) {
    Fixture f;
    f.scripts.inBundle("# bundled network\n");  // preferred over the module's copy
    f.runner->thenSuccess().thenOutput(std::string("\n{\"publicKey\": \"") + key32 + "\"}\n");
    EXPECT_EQ(f.manager.prepareWireGuard(), key32);
    EXPECT_EQ(f.runner->argumentVectors(),
              (std::vector<Argv>{{"shell", "tessaron", "--", "sudo", "sh", "-c", installer},
                                 scriptVector("# bundled network\n", {"init"})}));
}

TEST(GuestNetworking, PrepareRefusesEveryAnswerWithoutAUsableKey) {
    const auto keyOfLength = [](std::size_t bytes) {
        static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string raw(bytes, '\x5a');
        std::string out;
        // Standard Base64 of `bytes` bytes of 0x5A.
        for (std::size_t i = 0; i < raw.size(); i += 3) {
            unsigned v = static_cast<unsigned char>(raw[i]) << 16;
            if (i + 1 < raw.size()) v |= static_cast<unsigned char>(raw[i + 1]) << 8;
            if (i + 2 < raw.size()) v |= static_cast<unsigned char>(raw[i + 2]);
            out += alphabet[(v >> 18) & 63];
            out += alphabet[(v >> 12) & 63];
            out += i + 1 < raw.size() ? alphabet[(v >> 6) & 63] : '=';
            out += i + 2 < raw.size() ? alphabet[v & 63] : '=';
        }
        return out;
    };
    EXPECT_EQ(guest_output::wireGuardPublicKey(json::encode({{"publicKey", keyOfLength(32)}})), keyOfLength(32));
    EXPECT_EQ(guest_output::wireGuardPublicKey(json::encode({{"publicKey", key32}, {"interface", "tessaron"}})), key32);

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"31 bytes", json::encode({{"publicKey", keyOfLength(31)}})},
        {"33 bytes", json::encode({{"publicKey", keyOfLength(33)}})},
        {"a number beside the key", json::encode({{"publicKey", key32}, {"version", 2}})},
        {"no key", json::encode({{"public", key32}})},
        {"key not a string", R"({"publicKey": 7})"},
        {"not Base64", R"({"publicKey": "not base64 at all!!"})"},
        {"Base64 without padding", std::string(R"({"publicKey": ")") + std::string(key32).substr(0, 43) + "\"}"},
        {"an array", std::string("[\"") + key32 + "\"]"},
        {"null", "null"},
    };
    for (const auto& [label, text] : refused) {
        EXPECT_EQ(failureText([&] { guest_output::wireGuardPublicKey(text); }),
                  "The guest did not return its WireGuard public key.")
            << label;
    }
    EXPECT_THROW(guest_output::wireGuardPublicKey("publicKey=abc"), json::DecodingError);
    EXPECT_THROW(guest_output::wireGuardPublicKey(""), json::DecodingError);
}

TEST(GuestNetworking, InstallerAndScriptFailuresCarryTheirStandardError) {
    {
        Fixture f;
        f.runner->thenFailure(1, "Install wireguard-tools, python3 and iproute2 in the guest, then retry.\n");
        EXPECT_EQ(failureText([&] { f.manager.prepareWireGuard(); }),
                  "Install wireguard-tools, python3 and iproute2 in the guest, then retry.");
        EXPECT_EQ(f.runner->calls().size(), 1u);  // the script never ran
    }
    {
        Fixture f;
        f.runner->thenSuccess().thenFailure(1, "  Could not create the WireGuard key.\n");
        EXPECT_EQ(failureText([&] { f.manager.prepareWireGuard(); }), "Could not create the WireGuard key.");
    }
    {
        Fixture f;
        guest_scripts::overrideModuleResourcesDirectory(std::nullopt);  // neither place has the script
        f.runner->thenSuccess();
        EXPECT_EQ(failureText([&] { f.manager.prepareWireGuard(); }), "The app is missing its guest networking installer.");
        EXPECT_EQ(failureText([&] { f.manager.applyWireGuard("{}"); }), "The app is missing its guest networking installer.");
    }
}

// ---------------------------------------------------------------------------------------
// applyWireGuard

TEST(GuestNetworking, ApplyPassesTheConfigurationWithinItsLimits) {
    const std::string at8192 = "{\"x\":\"" + std::string(8192 - 8, 'a') + "\"}";
    ASSERT_EQ(at8192.size(), 8192u);
    std::string multiByte;  // 8192 bytes, fewer characters
    while (multiByte.size() < 8190) multiByte += "\u00e9";
    multiByte += "ab";
    ASSERT_EQ(multiByte.size(), 8192u);
    for (const std::string& configuration : {at8192, multiByte, std::string()}) {
        Fixture f;
        f.runner->thenOutput("  {\"tunnelState\":\"connecting\"}\n");
        EXPECT_EQ(f.manager.applyWireGuard(configuration), "{\"tunnelState\":\"connecting\"}");
        EXPECT_EQ(f.runner->argumentVectors(), (std::vector<Argv>{scriptVector("# network\n", {"apply", configuration})}));
    }

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"8193 bytes", at8192 + " "},
        {"not UTF-8", "{\"x\":\"\xc3\x28\"}"},
        {"a NUL that an argument cannot carry", std::string("{\"a\":1}\0{\"b\":2}", 15)},
    };
    for (const auto& [label, configuration] : refused) {
        Fixture f;
        EXPECT_EQ(failureText([&] { f.manager.applyWireGuard(configuration); }), "Invalid guest network configuration.")
            << label;
        EXPECT_TRUE(f.runner->calls().empty()) << label;
    }
}

// ---------------------------------------------------------------------------------------
// connectionStatus

TEST(GuestNetworking, ConnectionStatusReadsTheGuestOnlyWhileTheVMRuns) {
    const Argv statusVector = {"list", "tessaron", "--format", "{{.Status}}"};
    struct Case {
        std::string label;
        std::vector<std::string> statuses;  // one or two readings
        std::optional<std::string> guest;   // the status action's output, when asked
        GuestConnectionStatus expected;
    };
    const std::vector<Case> cases = {
        {"running and connected", {"Running"}, R"({"tunnelState":"connected","lastHandshakeAt":1767225600.5,"error":null,"handshakeAt":1767225600.5})",
         {"Running", "connected", 1767225600.5, std::nullopt}},
        {"lower-case running", {"running"}, R"({"tunnelState":"not-configured"})", {"running", "not-configured", std::nullopt, std::nullopt}},
        {"guest error", {"Running"}, R"({"tunnelState":"offline","lastHandshakeAt":null,"error":"wg-quick failed"})",
         {"Running", "offline", std::nullopt, "wg-quick failed"}},
        {"stopped", {"Stopped"}, std::nullopt, {"Stopped", "offline", std::nullopt, std::nullopt}},
        {"starting then stopped", {"Starting", "Stopped"}, std::nullopt, {"Stopped", "offline", std::nullopt, std::nullopt}},
        {"starting twice", {"Starting", "Starting"}, std::nullopt, {"Starting", "unknown", std::nullopt, std::nullopt}},
        {"starting then running", {"Starting", "Running"}, R"({"tunnelState":"connecting"})",
         {"Running", "connecting", std::nullopt, std::nullopt}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Fixture f;
        for (const std::string& status : c.statuses) f.runner->thenOutput(status + "\n");
        if (c.guest) f.runner->thenOutput(*c.guest + "\n");
        std::vector<double> sleeps;
        EXPECT_EQ(f.manager.connectionStatus([&](double seconds) { sleeps.push_back(seconds); }), c.expected);
        EXPECT_EQ(sleeps, c.statuses.size() == 2 ? std::vector<double>{2.0} : std::vector<double>{});
        std::vector<Argv> expectedCalls(c.statuses.size(), statusVector);
        if (c.guest) expectedCalls.push_back(scriptVector("# network\n", {"status"}));
        EXPECT_EQ(f.runner->argumentVectors(), expectedCalls);
    }
}

TEST(GuestNetworking, ConnectionStatusRefusesUnknownStatesAndUndecodableAnswers) {
    for (const char* state : {"up", "Connected", "", "down"}) {
        Fixture f;
        f.runner->thenOutput("Running").thenOutput(json::encode({{"tunnelState", state}}));
        EXPECT_EQ(failureText([&] { f.manager.connectionStatus([](double) {}); }),
                  "The guest returned an unknown connection state.")
            << state;
    }
    for (const char* output : {R"(not json)", R"({"state":"connected"})", R"({"tunnelState":"connected","lastHandshakeAt":"soon"})",
                                     R"({"tunnelState":"connected","error":5})", R"(["connected"])"}) {
        Fixture f;
        f.runner->thenOutput("Running").thenOutput(output);
        EXPECT_THROW(f.manager.connectionStatus([](double) {}), json::DecodingError) << output;
    }
    Fixture f;
    f.runner->thenFailure(1, "level=fatal msg=\"instance not found\"");
    EXPECT_EQ(failureText([&] { f.manager.connectionStatus([](double) {}); }), "level=fatal msg=\"instance not found\"");
}

}  // namespace
}  // namespace tessaron
