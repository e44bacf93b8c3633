// The guest scripts inside the stand-in VM, invoked the way the Mac invokes them:
// `limactl shell <vm> -- sudo python3 -c <script text> …`.

#include "host/json.h"
#include "support/limactl_standin.h"
#include "support/temp_dir.h"
#include "support/wireguard_guest_shims.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>

namespace tessaron {
namespace {
namespace fs = std::filesystem;
using testing::readFile;

std::string scriptText(const std::string& name) {
    return readFile(testing::bundleDir() / "Contents" / "Resources" / name);
}

TEST(GuestScriptsInStandinVM, NetworkListenersAndSSHRunAsTheMacRunsThem) {
    testing::StandinLimaHome lima;
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    testing::WireGuardGuestShims guest(lima.guestShimDir("tessaron"));
    const auto shell = [&](std::vector<std::string> command) {
        command.insert(command.begin(), {"shell", "tessaron", "--"});
        return lima.run(command);
    };

    EXPECT_EQ(shell({"id", "-un"}).standardOutput, "tessa\n");

    CommandResult init = shell({"sudo", "python3", "-c", scriptText("guest_network.py"), "init"});
    ASSERT_EQ(init.exitCode, 0) << init.standardError;
    EXPECT_EQ(json::parseObject(init.standardOutput)["publicKey"].get<std::string>().size(), 44u);
    EXPECT_TRUE(fs::exists(guest.wireguardDir() / "tessaron.key"));

    const std::string settings = R"({"address":"10.77.0.2/32","peerPublicKey":"hqObNZSe+fl+AuYK1ywlAOk3rt1in4bEuRl3/15cFyk=",)"
                                 R"("endpoint":"relay.example.net:51820","allowedIPs":["10.77.0.1/32"]})";
    guest.setHandshake(static_cast<long>(std::time(nullptr)) - 5);
    CommandResult apply = shell({"sudo", "python3", "-c", scriptText("guest_network.py"), "apply", settings});
    ASSERT_EQ(apply.exitCode, 0) << apply.standardError;
    EXPECT_EQ(json::parseObject(apply.standardOutput)["tunnelState"], "connected");
    EXPECT_TRUE(guest.interfaceUp());

    CommandResult listeners = shell({"sudo", "-n", "python3", "-c", scriptText("guest_listeners.py")});
    ASSERT_EQ(listeners.exitCode, 0) << listeners.standardError;
    // The instance's own sshd listens on loopback.
    const int sshPort = std::stoi(lima.run({"list", "tessaron", "--format", "{{.SSHLocalPort}}"}).standardOutput);
    bool sawSSH = false;
    const json::Json report = json::parseObject(listeners.standardOutput);
    for (const auto& listener : report["listeners"])
        sawSSH = sawSSH || (listener["protocol"] == "tcp" && listener["port"] == sshPort);
    EXPECT_TRUE(sawSSH) << sshPort << " " << listeners.standardOutput;

    const std::string publicKey = readFile(lima.instanceDir("tessaron") / "id_ed25519.pub");
    const std::string request = json::encode({{"needsApply", true}, {"publicKeys", {publicKey.substr(0, publicKey.size() - 1)}}});
    CommandResult encoded = ProcessCommandRunner().run(
        "/usr/bin/python3", {"-c", "import base64,sys; print(base64.b64encode(sys.argv[1].encode()).decode(), end='')", request});
    CommandResult ssh = shell({"sudo", "-n", "python3", "-c", scriptText("guest_ssh.py"), "tessa", encoded.standardOutput});
    ASSERT_EQ(ssh.exitCode, 0) << ssh.standardError;
    EXPECT_EQ(json::parseObject(ssh.standardOutput)["addedKeys"], 1);
    struct stat st {};
    ASSERT_EQ(::stat((guest.home() / ".ssh" / "authorized_keys").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, guest.uid());
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace tessaron
