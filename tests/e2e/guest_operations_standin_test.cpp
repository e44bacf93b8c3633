// LimaManager's guest operations end to end: the stand-in limactl runs the bundled guest
// scripts "in the guest" (with the WireGuard and account shims), exactly as the Mac does.

#include "host/json.h"
#include "host/lima_manager.h"
#include "host/paths.h"
#include "support/limactl_standin.h"
#include "support/temp_dir.h"
#include "support/wireguard_guest_shims.h"

#include <gtest/gtest.h>

#include <ctime>

namespace tessaron {
namespace {
namespace fs = std::filesystem;

// The bundle's Resources hold the scripts the way the application ships them.
class BundledScripts {
public:
    BundledScripts() { bundle::overrideMainBundle(testing::bundleDir()); }
    ~BundledScripts() { bundle::clearMainBundleOverride(); }
};

std::string failureText(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const LimaManagerError& error) {
        return error.what();
    }
    ADD_FAILURE() << "no LimaManagerError was thrown";
    return "";
}

TEST(GuestOperationsStandin, WireGuardListenersAndSSHInTheGuest) {
    BundledScripts scripts;
    testing::StandinLimaHome lima;
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    testing::WireGuardGuestShims guest(lima.guestShimDir("tessaron"));
    LimaManager manager("tessaron", testing::limactlPath().string());

    // Before any configuration the tunnel is not configured.
    const GuestConnectionStatus fresh = manager.connectionStatus();
    EXPECT_EQ(fresh.vmState, "Running");
    EXPECT_EQ(fresh.tunnelState, "not-configured");
    EXPECT_EQ(fresh.lastHandshakeAt, std::nullopt);

    const std::string key = manager.prepareWireGuard();
    EXPECT_EQ(key.size(), 44u);
    EXPECT_EQ(manager.prepareWireGuard(), key);  // the key is made once

    const double handshake = static_cast<double>(std::time(nullptr) - 5);
    guest.setHandshake(static_cast<long>(handshake));
    const std::string applied = manager.applyWireGuard(
        R"({"address":"10.77.0.2/32","peerPublicKey":"hqObNZSe+fl+AuYK1ywlAOk3rt1in4bEuRl3/15cFyk=",)"
        R"("endpoint":"relay.example.net:51820","allowedIPs":["10.77.0.1/32"],"persistentKeepalive":25})");
    const json::Json appliedStatus = json::parseObject(applied);
    EXPECT_EQ(appliedStatus["tunnelState"], "connected");
    EXPECT_EQ(appliedStatus["handshakeAt"], handshake);
    EXPECT_TRUE(guest.interfaceUp());
    EXPECT_EQ(manager.connectionStatus(), (GuestConnectionStatus{"Running", "connected", handshake, std::nullopt}));

    // A configuration the guest refuses surfaces the script's own message.
    EXPECT_FALSE(failureText([&] { manager.applyWireGuard(R"({"address":"not an address"})"); }).empty());

    // The listener report holds the instance's own sshd, which listens on loopback.
    const json::Json report = json::parseObject(manager.listeningPorts());
    EXPECT_EQ(report["available"], true);
    const int sshPort = manager.sshLocalPort();
    bool sawSSH = false;
    for (const json::Json& listener : report["listeners"]) {
        EXPECT_TRUE(listener.contains("processName"));
        sawSSH = sawSSH || (listener["protocol"] == "tcp" && listener["port"] == sshPort);
    }
    EXPECT_TRUE(sawSSH) << report.dump();

    // SSH preparation adds the panel's key for the guest account.
    std::string publicKey = testing::readFile(lima.instanceDir("tessaron") / "id_ed25519.pub");
    publicKey.erase(publicKey.find_last_not_of('\n') + 1);
    const std::string request = json::encode({{"needsApply", true}, {"requestId", "ssh-1"}, {"publicKeys", {publicKey}}});
    const json::Json answer = json::parseObject(manager.prepareSSH(request));
    EXPECT_EQ(answer["success"], true);
    EXPECT_EQ(answer["account"], guest.account());
    EXPECT_EQ(answer["addedKeys"], 1);
    EXPECT_NE(testing::readFile(guest.home() / ".ssh" / "authorized_keys").find(publicKey), std::string::npos);
    EXPECT_EQ(json::parseObject(manager.prepareSSH(request))["addedKeys"], 0);  // nothing twice

    // A request the script cannot read fails with its message.
    EXPECT_EQ(failureText([&] { manager.prepareSSH(R"({"publicKeys":["ssh-ed25519 nonsense"]})"); }),
              "The SSH request holds a key that is not valid.");

    // A stopped VM: SSH is refused and the guest is not asked for the tunnel.
    manager.stop();
    lima.clearCalls();
    EXPECT_EQ(manager.connectionStatus(), (GuestConnectionStatus{"Stopped", "offline", std::nullopt, std::nullopt}));
    EXPECT_EQ(failureText([&] { manager.prepareSSH(request); }), "Keep Linux running to prepare SSH.");
    for (const auto& call : lima.calls()) EXPECT_NE(call.at(0), "shell");
}

TEST(GuestOperationsStandin, TheGuestAccountMustNotBeRoot) {
    BundledScripts scripts;
    testing::StandinLimaHome lima;
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    // No id shim: the stand-in's guest commands run as this machine's user (root).
    LimaManager manager("tessaron", testing::limactlPath().string());
    if (lima.run({"shell", "tessaron", "--", "id", "-un"}).standardOutput != "root\n") GTEST_SKIP() << "not running as root";
    EXPECT_EQ(failureText([&] { manager.prepareSSH("{}"); }), "Could not identify your Linux account safely.");
}

}  // namespace
}  // namespace tessaron
