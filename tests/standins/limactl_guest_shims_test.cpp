// `limactl _standin-guest-shims`: the stand-in's own command that fills a guest with the
// WireGuard and account shims. The guest scripts' use of them is covered by the
// end-to-end tests; here: what it refuses, that it is no Lima call, and that running it
// again keeps the guest's state.

#include "support/limactl_standin.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace tessaron::testing {
namespace {

namespace fs = std::filesystem;

TEST(LimactlGuestShims, RefusesBadArgumentsAndMissingInstancesWithoutWritingAnything) {
    StandinLimaHome lima;
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"_standin-guest-shims"}, "accepts 1 arg(s), received 0"},
        {{"_standin-guest-shims", "vm", "other"}, "accepts 1 arg(s), received 2"},
        {{"_standin-guest-shims", "missing"}, "instance \\\"missing\\\" does not exist"},
        {{"_standin-guest-shims", "../vm"}, "is invalid"},
        {{"_standin-guest-shims", "vm", "--account", "x'; rm -rf /; '"}, "for \\\"--account\\\" flag"},
        {{"_standin-guest-shims", "vm", "--account", "Root"}, "for \\\"--account\\\" flag"},
        {{"_standin-guest-shims", "vm", "--uid", "-1"}, "for \\\"--uid\\\" flag"},
        {{"_standin-guest-shims", "vm", "--uid", "12x"}, "for \\\"--uid\\\" flag"},
        {{"_standin-guest-shims", "vm", "--bogus"}, "unknown flag: --bogus"},
    };
    for (const auto& c : cases) {
        const CommandResult result = lima.run(c.arguments);
        EXPECT_NE(result.exitCode, 0) << c.arguments.back();
        EXPECT_NE(result.standardError.find(c.message), std::string::npos) << result.standardError;
    }
    EXPECT_TRUE(fs::is_empty(lima.guestShimDir("vm")));
    EXPECT_FALSE(fs::exists(lima.instanceDir("missing")));
}

TEST(LimactlGuestShims, ShimsAreNoLimaCallAndARepeatedRunKeepsTheGuestState) {
    StandinLimaHome lima;
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    lima.clearCalls();
    ASSERT_EQ(lima.run({"_standin-guest-shims", "vm", "--account", "ana", "--uid", "1500"}).exitCode, 0);
    EXPECT_TRUE(lima.calls().empty()) << "not a Lima command: not in the call log";

    const auto shell = [&](const std::string& script) { return lima.run({"shell", "vm", "--", "sh", "-c", script}); };
    EXPECT_EQ(shell("id -un").standardOutput, "ana\n");
    EXPECT_EQ(shell("python3 -c 'import pwd; e = pwd.getpwnam(\"ana\"); print(e.pw_uid, e.pw_dir)'").standardOutput,
              "1500 " + (lima.instanceDir("vm") / "guest" / "home").string() + "\n");
    EXPECT_NE(shell("wg show wg0 latest-handshakes").exitCode, 0) << "no interface before wg-quick up";
    ASSERT_EQ(shell("wg-quick up wg0").exitCode, 0);
    writeFile(lima.guestShimDir("vm") / "handshake.txt", "peer\t1700000000\n");

    // Again, with another account: the shims change, the interface and handshake stay.
    ASSERT_EQ(lima.run({"_standin-guest-shims", "vm", "--account", "bo"}).exitCode, 0);
    EXPECT_EQ(shell("id -un").standardOutput, "bo\n");
    const CommandResult show = shell("wg show wg0 latest-handshakes");
    EXPECT_EQ(show.exitCode, 0);
    EXPECT_EQ(show.standardOutput, "peer\t1700000000\n");
    const std::string log = readFile(lima.guestShimDir("vm") / "calls.log");
    EXPECT_NE(log.find("wg-quick up wg0\n"), std::string::npos) << log;
    EXPECT_TRUE(lima.calls().size() >= 4);
    EXPECT_EQ(lima.run({"delete", "-f", "vm"}).exitCode, 0);
}

TEST(LimactlGuestShims, AnInstanceCanBeMadeWithThemFromTheStart) {
    StandinLimaHome lima;
    {
        ScopedEnv shims("TESSARON_STANDIN_GUEST_SHIMS", "1");
        ASSERT_EQ(lima.create("vm").exitCode, 0);
    }
    EXPECT_EQ(lima.run({"shell", "vm", "--", "id", "-un"}).standardOutput, "tessa\n");
    EXPECT_EQ(lima.run({"shell", "vm", "--", "wg-quick", "up", "tessaron"}).exitCode, 0);
    EXPECT_TRUE(fs::exists(lima.guestShimDir("vm") / "up"));
}

}  // namespace
}  // namespace tessaron::testing
