// The panel over https and the edge relay over wss, as a user has them: the stand-ins
// serve certificates issued at test time by a certificate authority of the test's own,
// which the program trusts through SSL_CERT_FILE (set in this process, so every child
// inherits it). The built program runs every flow against them: setup, the helper's
// panel commands, the pairing code and the edge tunnel. A certificate that names another
// host, comes from an authority nobody trusts or has expired stops each flow with one
// clear sentence, before a request reaches the panel or the relay and before anything
// is saved. A host is named by a certificate's subject alternative names only, never by
// its common name.

#include "cli/edge_tunnel_runner.h"
#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/json.h"
#include "host/lima_manager.h"
#include "host/tls_trust.h"
#include "panel/http_client.h"
#include "support/edge_process.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/scripted_http_server.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"
#include "support/test_certificate_authority.h"
#include "support/tessaron_process.h"
#include "support/wireguard_guest_shims.h"

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <future>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using json::Json;
using testing::EdgeProcess;
using testing::PanelProcess;
using testing::RunningProgram;
using Issued = testing::TestCertificateAuthority::Issued;
using namespace std::chrono_literals;

class TlsE2E : public ::testing::Test {
protected:
    TlsE2E() { testing::writeHomeFilteredProcessLister(tools.path()); }

    static PanelProcess::Options servedWith(const Issued& issued) {
        PanelProcess::Options options;
        options.tlsCertificate = issued.certificate;
        options.tlsKey = issued.key;
        return options;
    }
    static std::vector<std::string> edgeServing(const Issued& issued, std::vector<std::string> more = {}) {
        more.insert(more.end(), {"--tls-cert", issued.certificate.string(), "--tls-key", issued.key.string()});
        return more;
    }

    // Writes agent.json and the device token as a pairing would.
    static void pair(const PanelProcess::Machine& mac, const std::string& controlURL,
                     const std::optional<std::string>& transport, const std::vector<std::string>& edgeURLs = {}) {
        const std::optional<std::string> vmName = transport == "wireguard" ? std::optional<std::string>("tessaron")
                                                                             : std::nullopt;
        testing::saveLink(mac, controlURL, {transport, vmName, edgeURLs});
    }

    std::unique_ptr<RunningProgram> startServe() const {
        return std::make_unique<RunningProgram>(testing::tessaronPath(), std::vector<std::string>{"serve"},
                                                testing::helperEnvironment(tools.path()));
    }
    static void stop(RunningProgram& serve) {
        serve.signal(SIGTERM);
        const auto status = serve.waitForExit(30);
        ASSERT_TRUE(status.has_value()) << "serve did not end after SIGTERM";
        EXPECT_EQ(*status, 0) << serve.standardError();
    }
    static std::future<testing::ProgramRun> start(std::vector<std::string> words) {
        return std::async(std::launch::async, [words] { return testing::runTessaron(words, {}, 60); });
    }

    std::string bootId() const {
        return lima.run({"shell", "tessaron", "--", "cat", "/proc/sys/kernel/random/boot_id"}).standardOutput;
    }
    // A running VM whose guest has WireGuard, for the helper's provisioning.
    std::unique_ptr<testing::WireGuardGuestShims> guestWithWireGuard() const {
        auto guest = std::make_unique<testing::WireGuardGuestShims>(lima.guestShimDir("tessaron"));
        guest->setHandshake(static_cast<long>(std::time(nullptr)));
        return guest;
    }
    bool savedAnything() const {
        return fs::exists(home.supportDir() / "agent.json") || fs::exists(home.supportDir() / "pending-setup.json") ||
               fs::exists(home.supportDir() / "headless-token");
    }

    testing::TempDir certificates;
    testing::TestCertificateAuthority authority{certificates.path() / "trusted"};
    testing::ScopedEnv trust{tls::authorityFileVariable, authority.certificateFile().string()};
    Issued good = authority.issue("good", {"localhost", "127.0.0.1"});
    testing::TempDir tools;
    testing::TempHome home;
    testing::StandinLimaHome lima;
    testing::StandinMacHardware hardware;
};

TEST_F(TlsE2E, ATrustedCertificateCarriesSetupCommandsPairingCodesAndTheTunnel) {
    PanelProcess panel(servedWith(good));

    // Setup over https: the approval link and the saved control URL keep the https origin.
    auto onboard = start({"onboard", "--control", panel.secureBase()});
    panel.waitForSetup();
    panel.approveSetup();
    ASSERT_EQ(onboard.wait_for(90s), std::future_status::ready);
    const testing::ProgramRun onboarded = onboard.get();
    ASSERT_EQ(onboarded.exitCode, 0) << onboarded.standardError;
    EXPECT_NE(onboarded.standardOutput.find("Setup link: " + panel.secureBase() + "/console/connect?setup="),
              std::string::npos)
        << onboarded.standardOutput;
    const AgentConfiguration linked = AgentConfigurationStore::load();
    EXPECT_EQ(linked.controlURL.absoluteString(), panel.secureBase());

    // The helper polls the panel over https and carries out the restart queued there.
    const auto guest = guestWithWireGuard();
    const std::string firstBoot = bootId();
    const Json restart = panel.queueCommand(linked.machineID, "restart", lima_text::trimmed(firstBoot));
    {
        auto serve = startServe();
        ASSERT_TRUE(PanelProcess::waitFor([&] {
            const Json machine = panel.machineState(linked.machineID);
            for (const Json& command : machine["commands"])
                if (command["id"] == restart["id"]) return command["status"] == "succeeded";
            return false;
        }, 40)) << serve->standardOutput() << serve->standardError();
        EXPECT_NE(bootId(), firstBoot);
        stop(*serve);
    }

    // The pairing code over https to an IP address, then the tunnel over wss to the edge
    // the panel named; a public request reaches the local service through it.
    testing::TempHome legacyHome;
    testing::ScriptedHttpServer local([](const testing::ScriptedHttpServer::Request& request) {
        return testing::ScriptedHttpServer::Response{200, "served " + request.target, {}};
    });
    EdgeProcess edge(edgeServing(good, {"--http-target", std::to_string(local.port())}));
    auto pairing = start({"pair", "--control", panel.secureBase("127.0.0.1"), "--transport", "legacy"});
    const PanelProcess::Machine mac = panel.approvePairingCode(panel.waitForPairingCode(), {edge.wssURL("127.0.0.1")});
    ASSERT_EQ(pairing.wait_for(90s), std::future_status::ready);
    const testing::ProgramRun paired = pairing.get();
    ASSERT_EQ(paired.exitCode, 0) << paired.standardError;
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(legacyHome.supportDir() / "headless-token"), mac.deviceToken);

    auto serve = startServe();
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connected(); }, 30))
        << serve->standardOutput() << serve->standardError();
    http::Request request;
    request.url = "http://127.0.0.1:" + std::to_string(edge.httpPort()) + "/shop?item=3";
    request.timeout = 30s;
    const http::Response response = http::perform(request);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "served /shop?item=3");
    EXPECT_NE(edge.state().find("Bearer " + mac.deviceToken), std::string::npos) << edge.state();
    EXPECT_TRUE(PanelProcess::waitFor([&] { return panel.machineState(mac.machineId).value("heartbeats", 0) > 0; }, 30))
        << "the helper's heartbeat reaches the panel over https";
    stop(*serve);
}

TEST_F(TlsE2E, ARefusedCertificateStopsEveryFlowBeforeAnythingIsSentOrSaved) {
    testing::TestCertificateAuthority stranger(certificates.path() / "stranger", "Unknown Authority");
    const std::string refused = "The secure connection to localhost was refused: its certificate ";
    const fs::path missingFile = certificates.path() / "missing.pem";
    struct Case {
        std::string name;
        Issued served;
        std::string sentence;
        std::optional<std::string> trustedFile;  // SSL_CERT_FILE, when not the test authority
    };
    const std::vector<Case> cases = {
        {"another host name", authority.issue("elsewhere", {"elsewhere.example"}), refused + "is for another host name.",
         std::nullopt},
        {"the host only as common name", authority.issueCommonNameOnly("common-name", "localhost"),
         refused + "is for another host name.", std::nullopt},
        {"untrusted authority", stranger.issue("stranger", {"localhost", "127.0.0.1"}),
         refused + "is not signed by a trusted certificate authority.", std::nullopt},
        {"expired", authority.issue("expired", {"localhost", "127.0.0.1"}, {-48h, -24h}), refused + "has expired.",
         std::nullopt},
        {"unreadable authority file", good, tls::unreadableAuthorityFileSentence(missingFile), missingFile.string()},
    };
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    const auto guest = guestWithWireGuard();
    const std::string boot = bootId();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScopedEnv trusted(tls::authorityFileVariable, c.trustedFile.value_or(authority.certificateFile().string()));
        testing::TempHome caseHome;
        PanelProcess panel(servedWith(c.served));
        EdgeProcess edge(edgeServing(c.served));
        lima.clearCalls();

        // Setup and the pairing code: refused at the first request, nothing saved.
        for (const auto& words : {std::vector<std::string>{"onboard", "--control", panel.secureBase()},
                                  std::vector<std::string>{"pair", "--control", panel.secureBase(), "--transport", "legacy"}}) {
            SCOPED_TRACE(words.front());
            const testing::ProgramRun run = testing::runTessaron(words, {}, 60);
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_EQ(run.standardError, "tessaron: " + c.sentence + "\n");
            EXPECT_FALSE(savedAnything());
        }
        for (const auto& call : lima.calls()) EXPECT_EQ(call.at(0), "list") << "no VM was created";

        // The helper's panel passes: no poll, claim, registration or report goes out, and
        // the restart waiting in the panel is not carried out.
        const PanelProcess::Machine mac = panel.createMachine("Studio");
        panel.queueCommand(mac.machineId, "restart", lima_text::trimmed(boot));
        pair(mac, panel.secureBase(), "wireguard");
        {
            auto serve = startServe();
            EXPECT_TRUE(serve->waitForOutput("Server control pending: " + c.sentence, 30))
                << serve->standardOutput() << serve->standardError();
            EXPECT_NE(serve->standardOutput().find("Network reconnect pending: " + c.sentence), std::string::npos);
            stop(*serve);
        }
        EXPECT_EQ(bootId(), boot);

        // The tunnel: the handshake fails before the WebSocket request carries the token.
        pair(mac, panel.secureBase(), std::nullopt, {edge.wssURL()});
        {
            auto serve = startServe();
            EXPECT_TRUE(PanelProcess::waitFor(
                [&] { return serve->standardError().find("Tunnel disconnected: " + c.sentence + "\n") != std::string::npos; },
                30))
                << serve->standardError();
            stop(*serve);
        }
        EXPECT_EQ(edge.connections(), 0);
        EXPECT_EQ(panel.requests().size(), 0u) << panel.requests().dump();
    }
}

TEST_F(TlsE2E, RedirectsStayUnfollowedAndPlainHttpStaysOnLoopback) {
    PanelProcess panel(servedWith(good));
    const auto followedTo = [&](const std::string& path) {
        panel.injectFault({{"path", path}, {"times", 0}, {"redirect", panel.secureBase() + "/followed"}});
    };
    const auto followed = [&] {
        const Json requests = panel.requests();
        for (const Json& request : requests)
            if (request["path"] == "/followed") return true;
        return false;
    };

    followedTo("/api/tessaron/setup");
    const testing::ProgramRun setup = testing::runTessaron({"onboard", "--control", panel.secureBase()}, {}, 60);
    EXPECT_EQ(setup.exitCode, 1);
    EXPECT_EQ(setup.standardError,
              "tessaron: Could not confirm setup. Reopen the Mac app and try again; your VM is preserved.\n");
    EXPECT_FALSE(followed());

    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    const auto guest = guestWithWireGuard();
    const PanelProcess::Machine mac = panel.createMachine("Studio");
    followedTo("/api/tessaron/agent/commands");
    pair(mac, panel.secureBase(), "wireguard");
    {
        auto serve = startServe();
        EXPECT_TRUE(serve->waitForOutput("Server control pending: ", 30)) << serve->standardOutput();
        stop(*serve);
    }
    EXPECT_FALSE(followed());

    // Plain http to anything but a loopback name is refused before it is sent.
    fs::remove(AgentConfigurationStore::defaultURL());
    fs::remove(DeviceCredentialStore::headlessURL());
    const testing::ProgramRun plain =
        testing::runTessaron({"onboard", "--control", "http://127.0.0.2:" + std::to_string(panel.port())}, {}, 60);
    EXPECT_EQ(plain.exitCode, 1);
    EXPECT_EQ(plain.standardError, "tessaron: Use an HTTPS Tessaron panel address without a path or password.\n");
}

}  // namespace
}  // namespace tessaron
