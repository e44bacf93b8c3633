// The three guest scripts, run by this machine's python3 against crafted inputs and,
// where it makes sense, the real /proc. Commands the scripts start (wg-quick, ip,
// systemctl, apt-get, …) are recording shims on PATH.

#include "host/guest_scripts.h"
#include "host/json.h"
#include "host/paths.h"
#include "host/process_runner.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tessaron {
namespace {
namespace fs = std::filesystem;
using json::Json;
using testing::readFile;
using testing::ScopedEnv;
using testing::TempDir;
using testing::writeFile;

fs::path script(const std::string& name) {
    return testing::sourceDir() / "core" / "resources" / name;
}

// Runs a script the way the Mac does: its text as `python3 -c`, then the arguments.
CommandResult runScript(const std::string& name, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"-c", readFile(script(name))};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return ProcessCommandRunner().run("/usr/bin/python3", argv);
}

// A shell script on PATH that appends its name and arguments to calls.log and then
// runs `body`.
void writeShim(const fs::path& dir, const std::string& name, const std::string& body) {
    fs::create_directories(dir);
    const fs::path path = dir / name;
    writeFile(path, "#!/bin/sh\necho \"" + name + " $*\" >> \"" + (dir / "calls.log").string() + "\"\n" + body + "\n");
    fs::permissions(path, fs::perms(0755));
}

std::string calls(const fs::path& dir) {
    return fs::exists(dir / "calls.log") ? readFile(dir / "calls.log") : "";
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

uid_t ownerOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_uid;
}

// ---------------------------------------------------------------------------------------
// Where the scripts are found

TEST(GuestScriptLookup, BundleCopyFirstThenTheLibrarysOwnThenNothing) {
    TempDir bundle;
    const fs::path resources = bundle.path() / "Contents" / "Resources";
    fs::create_directories(resources / "guest_ssh.py");  // a folder of that name is not the script
    writeFile(resources / "guest_network.py", "# bundled copy\n");
    bundle::overrideMainBundle(bundle.path());

    EXPECT_EQ(guest_scripts::locate("guest_network.py"), resources / "guest_network.py");
    EXPECT_EQ(guest_scripts::load("guest_network.py"), "# bundled copy\n");
    EXPECT_EQ(guest_scripts::locate("guest_ssh.py"), script("guest_ssh.py"));
    EXPECT_EQ(guest_scripts::load("guest_listeners.py"), readFile(script("guest_listeners.py")));

    TempDir emptyModule;
    guest_scripts::overrideModuleResourcesDirectory(emptyModule.path());
    EXPECT_EQ(guest_scripts::locate("guest_ssh.py"), std::nullopt);
    EXPECT_EQ(guest_scripts::load("guest_listeners.py"), std::nullopt);
    EXPECT_TRUE(guest_scripts::load("guest_network.py").has_value());

    // A script that is not text is a read error, not an empty script.
    writeFile(resources / "guest_listeners.py", "\xff\xfe");
    EXPECT_THROW(guest_scripts::load("guest_listeners.py"), Error);

    bundle::overrideMainBundle(std::nullopt);
    EXPECT_EQ(guest_scripts::locate("guest_network.py"), std::nullopt);
    guest_scripts::clearModuleResourcesOverride();
    bundle::clearMainBundleOverride();
}

// ---------------------------------------------------------------------------------------
// guest_listeners.py

// Builds a fake /proc: socket tables plus processes holding socket inodes.
class FakeProc {
public:
    FakeProc() {
        for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) lines_[table] = {};
    }
    // `local` and `remote` in the kernel's hex form ("0100007F:1F90").
    void socket(const std::string& table, const std::string& local, const std::string& remote,
                const std::string& state, int inode) {
        std::ostringstream line;
        line << "   0: " << local << " " << remote << " " << state
             << " 00000000:00000000 00:00000000 00000000     0        0 " << inode << " 1 0000000000000000";
        lines_[table].push_back(line.str());
    }
    void process(int pid, const std::string& comm, const std::vector<int>& inodes) {
        const fs::path dir = dir_.path() / std::to_string(pid);
        fs::create_directories(dir / "fd");
        writeFile(dir / "comm", comm + "\n");
        int fd = 3;
        for (int inode : inodes) fs::create_symlink("socket:[" + std::to_string(inode) + "]", dir / "fd" / std::to_string(fd++));
        fs::create_symlink("/dev/null", dir / "fd" / "0");
    }
    void dropTable(const std::string& table) { lines_.erase(table); }
    const fs::path& write() {
        fs::create_directories(dir_.path() / "net");
        for (const auto& [table, lines] : lines_) {
            std::string text = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
            for (const auto& line : lines) text += line + "\n";
            writeFile(dir_.path() / "net" / table, text);
        }
        return dir_.path();
    }

private:
    TempDir dir_;
    std::map<std::string, std::vector<std::string>> lines_;
};

const std::string kAny4 = "00000000:0000";
const std::string kAny6 = "00000000000000000000000000000000:0000";

std::string hexPort(int port) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", port);
    return text;
}

Json listenerReport(const fs::path& procRoot) {
    ScopedEnv root("TESSARON_PROC_ROOT", procRoot.string());
    CommandResult result = runScript("guest_listeners.py", {});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    return json::parseObject(result.standardOutput);
}

TEST(GuestListenersScript, ReportsListeningSocketsWithBindingsAndNames) {
    FakeProc proc;
    // sshd on every IPv4 and IPv6 address: one entry.
    proc.socket("tcp", "00000000:0016", kAny4, "0A", 100);
    proc.socket("tcp6", "00000000000000000000000000000000:0016", kAny6, "0A", 101);
    // postgres on loopback, nginx on one address, an established connection (ignored).
    proc.socket("tcp", "0100007F:1538", kAny4, "0A", 102);
    proc.socket("tcp", "0F02000A:1F90", kAny4, "0A", 103);
    proc.socket("tcp", "0F02000A:C350", "0202000A:0016", "01", 104);
    // IPv6 loopback and an IPv4-mapped loopback address.
    proc.socket("tcp6", "00000000000000000000000001000000:0277", kAny6, "0A", 105);
    proc.socket("tcp6", "0000000000000000FFFF00000100007F:0BB8", kAny6, "0A", 106);
    // UDP: a bound DNS server, and a connected client socket (ignored).
    proc.socket("udp", "00000000:0035", kAny4, "07", 107);
    proc.socket("udp", "0F02000A:D431", "08080808:0035", "01", 108);
    // The same port on loopback and on a specific address counts as specific.
    proc.socket("tcp", "0100007F:2328", kAny4, "0A", 109);
    proc.socket("tcp", "0F02000A:2328", kAny4, "0A", 110);
    proc.process(1, "sshd", {100, 101});
    proc.process(2, "postgres", {102});
    proc.process(3, "nginx", {103, 104});
    proc.process(4, "cupsd", {105});
    proc.process(5, "dnsmasq", {107});
    // Names outside the plain ASCII set are left out rather than passed on.
    proc.process(6, "kworker/0:1", {106});
    proc.process(7, "caf\xc3\xa9", {109});
    proc.process(8, "a;b", {110});

    Json report = listenerReport(proc.write());
    Json expected = json::parse(R"({"available":true,"truncated":false,"listeners":[
        {"protocol":"tcp","port":22,"processName":"sshd","binding":"all"},
        {"protocol":"tcp","port":631,"processName":"cupsd","binding":"loopback"},
        {"protocol":"tcp","port":3000,"processName":null,"binding":"loopback"},
        {"protocol":"tcp","port":5432,"processName":"postgres","binding":"loopback"},
        {"protocol":"tcp","port":8080,"processName":"nginx","binding":"specific"},
        {"protocol":"tcp","port":9000,"processName":null,"binding":"specific"},
        {"protocol":"udp","port":53,"processName":"dnsmasq","binding":"all"}]})");
    EXPECT_EQ(report, expected) << report.dump(2);
}

TEST(GuestListenersScript, TruncatesPastSixtyFourAndReportsUnavailableTables) {
    FakeProc many;
    for (int port = 1000; port < 1070; ++port) many.socket("tcp", "00000000:" + hexPort(port), kAny4, "0A", port);
    Json report = listenerReport(many.write());
    EXPECT_TRUE(report["truncated"].get<bool>());
    ASSERT_EQ(report["listeners"].size(), 64u);
    EXPECT_EQ(report["listeners"][63]["port"], 1063);

    FakeProc none;
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) none.dropTable(table);
    EXPECT_EQ(listenerReport(none.write()), json::parse(R"({"available":false,"truncated":false,"listeners":[]})"));

    // Garbage lines are skipped; a missing IPv6 table alone does not make it unavailable.
    FakeProc partial;
    partial.dropTable("tcp6");
    partial.socket("tcp", "zz:0016", kAny4, "0A", 1);
    partial.socket("tcp", "00000000:0000", kAny4, "0A", 2);  // port 0 is not a listener
    partial.socket("udp", "00000000:0044", kAny4, "07", 3);
    Json partialReport = listenerReport(partial.write());
    EXPECT_TRUE(partialReport["available"].get<bool>());
    EXPECT_EQ(partialReport["listeners"].size(), 1u);
}

TEST(GuestListenersScript, SeesThisProcessesSocketsInTheRealProc) {
    int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(tcp, 1), 0);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(tcp, reinterpret_cast<sockaddr*>(&address), &length);
    const int tcpPort = ntohs(address.sin_port);
    length = sizeof address;
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length);
    const int udpPort = ntohs(address.sin_port);

    CommandResult result = runScript("guest_listeners.py", {});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    Json report = json::parseObject(result.standardOutput);
    EXPECT_TRUE(report["available"].get<bool>());
    std::string comm = readFile("/proc/self/comm");
    comm.pop_back();
    bool sawTcp = false, sawUdp = false;
    for (const auto& listener : report["listeners"]) {
        if (listener["protocol"] == "tcp" && listener["port"] == tcpPort) {
            sawTcp = true;
            EXPECT_EQ(listener["binding"], "loopback");
            EXPECT_EQ(listener["processName"], comm);
        }
        if (listener["protocol"] == "udp" && listener["port"] == udpPort) {
            sawUdp = true;
            EXPECT_EQ(listener["binding"], "all");
        }
    }
    // With more than 64 listeners on the machine ours may be cut off.
    if (!report["truncated"].get<bool>()) {
        EXPECT_TRUE(sawTcp) << result.standardOutput;
        EXPECT_TRUE(sawUdp) << result.standardOutput;
    }
    ::close(tcp);
    ::close(udp);
}

// ---------------------------------------------------------------------------------------
// guest_network.py

class GuestNetworkScript : public ::testing::Test {
protected:
    void SetUp() override {
        // ip: the interface is "up" once wg-quick up ran and until wg-quick down.
        const std::string flag = (shims_.path() / "up").string();
        writeShim(shims_.path(), "ip", "[ -e '" + flag + "' ]");
        writeShim(shims_.path(), "wg-quick",
                  "case \"$1\" in up) touch '" + flag + "';; down) rm -f '" + flag + "';; esac");
        writeShim(shims_.path(), "systemctl", "exit 0");
        // wg: key commands are the real ones; `show` fails while the interface is down
        // and otherwise answers from handshake.txt (a zero time when absent).
        const std::string handshakes = (shims_.path() / "handshake.txt").string();
        writeShim(shims_.path(), "wg",
                  "if [ \"$1\" = show ]; then\n"
                  "  [ -e '" + flag + "' ] || { echo 'Unable to access interface: No such device' >&2; exit 1; }\n"
                  "  if [ -e '" + handshakes + "' ]; then cat '" + handshakes + "'; else printf 'peer\\t0\\n'; fi; exit 0\n"
                  "fi\nexec /usr/bin/wg \"$@\"");
    }

    CommandResult network(const std::vector<std::string>& arguments) { return runScript("guest_network.py", arguments); }
    fs::path keyFile() const { return root_.path() / "tessaron.key"; }
    fs::path configFile() const { return root_.path() / "tessaron.conf"; }
    void clearCalls() { fs::remove(shims_.path() / "calls.log"); }

    TempDir shims_;
    TempDir scratch_;
    TempDir root_;
    ScopedEnv path_{"PATH", shims_.path().string() + ":" + std::getenv("PATH")};
    ScopedEnv dir_{"TESSARON_WIREGUARD_DIR", root_.path().string()};
};

const std::string kRelayKey = "hqObNZSe+fl+AuYK1ywlAOk3rt1in4bEuRl3/15cFyk=";

std::string applyJSON(const std::string& endpoint = "relay.example.net:51820",
                      const std::string& allowed = R"(["10.77.0.1/32"])") {
    return R"({"address":"10.77.0.2/32","peerPublicKey":")" + kRelayKey + R"(","endpoint":")" + endpoint +
           R"(","allowedIPs":)" + allowed + R"(,"persistentKeepalive":25,"extra":"ignored"})";
}

TEST_F(GuestNetworkScript, InitCreatesOnePrivateKeyAndPrintsOnlyItsPublicHalf) {
    CommandResult first = network({"init"});
    ASSERT_EQ(first.exitCode, 0) << first.standardError;
    Json answer = json::parseObject(first.standardOutput);
    ASSERT_EQ(answer.size(), 1u);
    const std::string publicKey = answer["publicKey"].get<std::string>();
    EXPECT_EQ(publicKey.size(), 44u);

    std::string privateKey = readFile(keyFile());
    EXPECT_EQ(modeOf(keyFile()), 0600u);
    privateKey.pop_back();
    EXPECT_EQ(first.standardOutput.find(privateKey), std::string::npos);
    CommandResult derived = ProcessCommandRunner().run("/bin/sh", {"-c", "printf '%s\\n' '" + privateKey + "' | /usr/bin/wg pubkey"});
    EXPECT_EQ(derived.standardOutput, publicKey + "\n");

    CommandResult second = network({"init"});
    EXPECT_EQ(json::parseObject(second.standardOutput)["publicKey"], publicKey);  // the key is kept
    EXPECT_EQ(network({"bogus"}).exitCode, 1);
    EXPECT_EQ(network({"init", "extra"}).exitCode, 1);
}

TEST_F(GuestNetworkScript, InitRefusesUnsafeOrDamagedKeyFiles) {
    writeFile(scratch_.path() / "elsewhere", kRelayKey + "\n");
    fs::create_symlink(scratch_.path() / "elsewhere", keyFile());
    CommandResult linked = network({"init"});
    EXPECT_EQ(linked.exitCode, 1);
    EXPECT_EQ(linked.standardOutput, "");
    fs::remove(keyFile());

    writeFile(keyFile(), kRelayKey + "\n");
    fs::permissions(keyFile(), fs::perms(0644));
    EXPECT_NE(network({"init"}).standardError.find("unsafe"), std::string::npos);

    fs::permissions(keyFile(), fs::perms(0600));
    writeFile(keyFile(), "not a key\n");
    CommandResult damaged = network({"init"});
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_NE(damaged.standardError.find("damaged"), std::string::npos);
    EXPECT_EQ(readFile(keyFile()), "not a key\n");  // never silently replaced
}

TEST_F(GuestNetworkScript, ApplyWritesConfigBringsTunnelUpAndRestartsOnlyOnChange) {
    EXPECT_EQ(json::parseObject(network({"status"}).standardOutput)["tunnelState"], "not-configured");

    CommandResult applied = network({"apply", applyJSON()});
    ASSERT_EQ(applied.exitCode, 0) << applied.standardError;
    std::string config = readFile(configFile());
    std::string privateKey = readFile(keyFile());
    privateKey.pop_back();
    EXPECT_EQ(config, "[Interface]\nPrivateKey = " + privateKey + "\nAddress = 10.77.0.2/32\n\n[Peer]\nPublicKey = " +
                          kRelayKey + "\nEndpoint = relay.example.net:51820\nAllowedIPs = 10.77.0.1/32\nPersistentKeepalive = 25\n");
    EXPECT_EQ(modeOf(configFile()), 0600u);
    EXPECT_NE(calls(shims_.path()).find("wg-quick up " + configFile().string()), std::string::npos);
    // No handshake yet: the tunnel is connecting; the answer carries the status keys.
    Json status = json::parseObject(applied.standardOutput);
    EXPECT_EQ(status["tunnelState"], "connecting");
    EXPECT_TRUE(status["handshakeAt"].is_null());

    // The same configuration again leaves a running tunnel alone.
    clearCalls();
    ASSERT_EQ(network({"apply", applyJSON()}).exitCode, 0);
    EXPECT_EQ(calls(shims_.path()).find("wg-quick"), std::string::npos) << calls(shims_.path());

    // A changed one restarts it.
    clearCalls();
    ASSERT_EQ(network({"apply", applyJSON("[2001:db8::1]:51821")}).exitCode, 0);
    const std::string log = calls(shims_.path());
    const auto down = log.find("wg-quick down"), up = log.find("wg-quick up");
    ASSERT_NE(down, std::string::npos);
    ASSERT_NE(up, std::string::npos);
    EXPECT_LT(down, up);
    EXPECT_NE(readFile(configFile()).find("Endpoint = [2001:db8::1]:51821\n"), std::string::npos);
}

TEST_F(GuestNetworkScript, DefaultRouteKeepsOrdinaryTrafficOffTheTunnel) {
    ASSERT_EQ(network({"apply", applyJSON("203.0.113.7:51820", R"(["0.0.0.0/0"])")}).exitCode, 0);
    const std::string config = readFile(configFile());
    EXPECT_NE(config.find("Table = off\n"), std::string::npos);
    EXPECT_NE(config.find("PostUp = ip -4 rule add from 10.77.0.2 table 51820\n"), std::string::npos);
    EXPECT_NE(config.find("AllowedIPs = 0.0.0.0/0\n"), std::string::npos);
}

TEST_F(GuestNetworkScript, ApplyRefusesAnythingThatCouldReachTheConfigFile) {
    const std::vector<std::string> bad = {
        "",
        "[]",
        "not json",
        applyJSON("relay.example.net:51820\\nPostUp = touch /tmp/owned"),
        applyJSON("relay example:51820"),
        applyJSON("relay.example.net:0"),
        applyJSON("relay.example.net"),
        applyJSON("[not-v6]:51820"),
        applyJSON("relay.example.net:51820", R"("10.77.0.1/32\nPostUp = id")"),
        applyJSON("relay.example.net:51820", R"([])"),
        applyJSON("relay.example.net:51820", R"([7])"),
        R"({"address":"10.77.0.2/32","peerPublicKey":"short","endpoint":"r.example:1","allowedIPs":["10.0.0.1/32"]})",
        R"({"address":"10.77.0.2/32\n[Peer]","peerPublicKey":")" + kRelayKey +
            R"(","endpoint":"r.example:1","allowedIPs":["10.0.0.1/32"]})",
        R"({"address":"10.77.0.2/32","peerPublicKey":")" + kRelayKey +
            R"(","endpoint":"r.example:1","allowedIPs":["10.0.0.1/32"],"persistentKeepalive":true})",
    };
    for (const auto& settings : bad) {
        CommandResult result = network({"apply", settings});
        EXPECT_EQ(result.exitCode, 1) << settings;
        EXPECT_FALSE(result.standardError.empty()) << settings;
        EXPECT_FALSE(fs::exists(configFile())) << settings;
    }
    EXPECT_EQ(calls(shims_.path()).find("wg-quick"), std::string::npos);
}

TEST_F(GuestNetworkScript, StatusFollowsTheLatestHandshake) {
    ASSERT_EQ(network({"apply", applyJSON()}).exitCode, 0);
    const long now = static_cast<long>(std::time(nullptr));
    writeFile(shims_.path() / "handshake.txt", kRelayKey + "\t" + std::to_string(now - 10) + "\n");
    Json connected = json::parseObject(network({"status"}).standardOutput);
    EXPECT_EQ(connected["tunnelState"], "connected");
    EXPECT_EQ(connected["lastHandshakeAt"], now - 10);
    EXPECT_EQ(connected["handshakeAt"], now - 10);

    writeFile(shims_.path() / "handshake.txt", kRelayKey + "\t" + std::to_string(now - 600) + "\n");
    EXPECT_EQ(json::parseObject(network({"status"}).standardOutput)["tunnelState"], "connecting");

    fs::remove(shims_.path() / "up");  // the interface went down
    Json offline = json::parseObject(network({"status"}).standardOutput);
    EXPECT_EQ(offline["tunnelState"], "offline");
    EXPECT_NE(offline["error"].get<std::string>().find("No such device"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// guest_ssh.py

// Runs guest_ssh.py with the account database and tool lookup replaced, so that the
// test decides which accounts exist and which programs are installed.
class GuestSSHScript : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(harness_, R"(import collections, json, os, pwd, sys
Entry = collections.namedtuple("Entry", "pw_name pw_passwd pw_uid pw_gid pw_gecos pw_dir pw_shell")
accounts = json.loads(os.environ["FAKE_ACCOUNTS"])
def getpwnam(name):
    if name not in accounts:
        raise KeyError(name)
    uid, gid, home = accounts[name]
    return Entry(name, "x", uid, gid, "", home, "/bin/sh")
pwd.getpwnam = getpwnam
namespace = {"__name__": "guest_ssh"}
exec(compile(open(sys.argv[1]).read(), sys.argv[1], "exec"), namespace)
shims = os.environ["SHIM_DIR"]
namespace["tool"] = lambda name: os.path.join(shims, name) if os.access(os.path.join(shims, name), os.X_OK) else None
sys.exit(namespace["main"](sys.argv[2:]))
)");
        fs::create_directories(home());
        fs::permissions(home(), fs::perms(0755));
        ::chown(home().c_str(), kUid, kGid);
        writeShim(shims_.path(), "sshd", "exit 0");
        writeShim(shims_.path(), "systemctl", "[ \"$1\" = enable ]");
        for (const char* name : {"ed", "rsa"}) {
            const fs::path file = keys_.path() / name;
            ProcessCommandRunner().run("/usr/bin/ssh-keygen", {"-q", "-t", std::string(name) == "ed" ? "ed25519" : "rsa",
                                                                "-b", "2048", "-N", "", "-C", std::string("user@") + name, "-f", file.string()});
            std::string text = readFile(file.string() + ".pub");
            text.pop_back();
            publicKeys_.push_back(text);
        }
    }

    static constexpr uid_t kUid = 4242;
    static constexpr gid_t kGid = 4343;
    fs::path home() const { return homes_.path() / "alice"; }
    fs::path ssh() const { return home() / ".ssh"; }
    fs::path authorized() const { return ssh() / "authorized_keys"; }

    static std::string base64(const std::string& bytes) {
        CommandResult r = ProcessCommandRunner().run("/usr/bin/python3", {"-c", "import base64,os,sys; sys.stdout.write(base64.b64encode(os.fsencode(sys.argv[1])).decode())", bytes});
        return r.standardOutput;
    }
    static std::string request(const std::vector<std::string>& keys) {
        Json object = {{"needsApply", true}, {"publicKeys", keys}};
        return base64(object.dump());
    }
    CommandResult prepare(const std::string& account, const std::string& encodedRequest) {
        return ProcessCommandRunner().run("/usr/bin/python3", {harness_.string(), script("guest_ssh.py").string(), account, encodedRequest});
    }

    TempDir homes_;
    TempDir shims_;
    TempDir keys_;
    fs::path harness_ = shims_.path() / "harness.py";
    std::vector<std::string> publicKeys_;
    ScopedEnv accounts_{"FAKE_ACCOUNTS", R"({"alice": [4242, 4343, ")" + (homes_.path() / "alice").string() +
                                             R"("], "toor": [0, 0, "/root"]})"};
    ScopedEnv shimDir_{"SHIM_DIR", shims_.path().string()};
};

TEST_F(GuestSSHScript, AddsMissingKeysOnceWithPrivateModesAndTheAccountsOwnership) {
    CommandResult first = prepare("alice", request(publicKeys_));
    ASSERT_EQ(first.exitCode, 0) << first.standardError;
    EXPECT_EQ(json::parseObject(first.standardOutput),
              json::parse(R"({"success":true,"ok":true,"account":"alice","addedKeys":2,"sshd":"running"})"));
    EXPECT_EQ(readFile(authorized()), publicKeys_[0] + "\n" + publicKeys_[1] + "\n");
    EXPECT_EQ(modeOf(ssh()), 0700u);
    EXPECT_EQ(modeOf(authorized()), 0600u);
    EXPECT_EQ(ownerOf(ssh()), kUid);
    EXPECT_EQ(ownerOf(authorized()), kUid);
    EXPECT_NE(calls(shims_.path()).find("systemctl enable --now ssh"), std::string::npos);

    // Again, with a different comment: nothing is added twice.
    const std::string recommented = publicKeys_[0].substr(0, publicKeys_[0].rfind(' ')) + " laptop";
    CommandResult second = prepare("alice", request({recommented, publicKeys_[1]}));
    ASSERT_EQ(second.exitCode, 0) << second.standardError;
    EXPECT_EQ(json::parseObject(second.standardOutput)["addedKeys"], 0);
    EXPECT_EQ(readFile(authorized()), publicKeys_[0] + "\n" + publicKeys_[1] + "\n");
}

TEST_F(GuestSSHScript, KeepsExistingLinesByteForByteAndNeverRemovesAnything) {
    fs::create_directory(ssh());
    ::chown(ssh().c_str(), kUid, kGid);
    const std::string rsaData = publicKeys_[1].substr(publicKeys_[1].find(' ') + 1);
    const std::string existing = "# my keys\r\nfrom=\"10.0.0.0/8\" ssh-rsa " + rsaData + "\nssh-ed25519 AAAAunrelated";
    writeFile(authorized(), existing);
    ::chown(authorized().c_str(), kUid, kGid);
    fs::permissions(authorized(), fs::perms(0644));

    CommandResult result = prepare("alice", request(publicKeys_));
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    // The rsa key is present behind an options prefix; only the ed25519 key is new.
    EXPECT_EQ(json::parseObject(result.standardOutput)["addedKeys"], 1);
    EXPECT_EQ(readFile(authorized()), existing + "\n" + publicKeys_[0] + "\n");
    EXPECT_EQ(modeOf(authorized()), 0600u);

    // An empty request changes nothing but still makes sure the server runs.
    EXPECT_EQ(prepare("alice", request({})).exitCode, 0);
    EXPECT_EQ(readFile(authorized()), existing + "\n" + publicKeys_[0] + "\n");
}

TEST_F(GuestSSHScript, RefusesLinksAndForeignOwnership) {
    const fs::path victim = homes_.path() / "victim";
    fs::create_directories(victim);
    writeFile(victim / "authorized_keys", "root's keys\n");

    fs::create_directory_symlink(victim, ssh());
    EXPECT_EQ(prepare("alice", request(publicKeys_)).exitCode, 1);
    fs::remove(ssh());

    fs::create_directory(ssh());
    ::chown(ssh().c_str(), kUid, kGid);
    fs::create_symlink(victim / "authorized_keys", authorized());
    EXPECT_EQ(prepare("alice", request(publicKeys_)).exitCode, 1);
    fs::remove(authorized());

    writeFile(authorized(), "");  // owned by root, not by alice
    EXPECT_EQ(prepare("alice", request(publicKeys_)).exitCode, 1);
    fs::remove(authorized());

    ::chown(ssh().c_str(), 0, 0);  // ~/.ssh owned by someone else
    CommandResult foreign = prepare("alice", request(publicKeys_));
    EXPECT_EQ(foreign.exitCode, 1);
    EXPECT_NE(foreign.standardError.find("another user"), std::string::npos);

    EXPECT_EQ(readFile(victim / "authorized_keys"), "root's keys\n");
    EXPECT_FALSE(fs::exists(authorized()));
}

TEST_F(GuestSSHScript, RefusesBadAccountsKeysAndRequestsBeforeWritingAnything) {
    for (const std::string account : {"root", "toor", "bob", "alice\n", "al;ce", "\xc3\xa4lice", ""}) {
        CommandResult result = prepare(account, request(publicKeys_));
        EXPECT_EQ(result.exitCode, 1) << account;
        EXPECT_EQ(result.standardOutput, "") << account;
    }
    const std::string ed = publicKeys_[0];
    const std::string edData = ed.substr(ed.find(' ') + 1, ed.rfind(' ') - ed.find(' ') - 1);
    const std::vector<std::string> badKeys = {
        ed + "\nssh-ed25519 " + edData + " injected",
        "ssh-rsa " + edData,                 // type does not match the key data
        "ssh-ed25519 not*base64",
        "ssh-dss " + edData,
        "command=\"/bin/sh\" " + ed,         // options are never taken from the panel
        ed + " caf\xc3\xa9",
        "ssh-ed25519",
    };
    for (const auto& key : badKeys) {
        CommandResult result = prepare("alice", request({publicKeys_[1], key}));
        EXPECT_EQ(result.exitCode, 1) << key;
    }
    for (const std::string& encoded : {std::string("%%%"), base64("not json"), base64("[1]"),
                                      base64(R"({"publicKeys":"ssh-ed25519 AAAA"})"), base64("\xff\xfe")}) {
        EXPECT_EQ(prepare("alice", encoded).exitCode, 1) << encoded;
    }
    EXPECT_FALSE(fs::exists(ssh()));
}

TEST_F(GuestSSHScript, InstallsAndStartsTheServerWhenMissing) {
    fs::remove(shims_.path() / "sshd");
    const std::string sshd = (shims_.path() / "sshd").string();
    writeShim(shims_.path(), "apt-get",
              "if [ \"$1\" = install ]; then printf '#!/bin/sh\\nexit 0\\n' > '" + sshd + "'; chmod 755 '" + sshd + "'; fi");
    CommandResult installed = prepare("alice", request({publicKeys_[0]}));
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;
    const std::string log = calls(shims_.path());
    EXPECT_NE(log.find("apt-get update"), std::string::npos) << log;
    EXPECT_NE(log.find("apt-get install -y openssh-server"), std::string::npos) << log;

    // No way to start it: a failure, not a success.
    writeShim(shims_.path(), "systemctl", "exit 1");
    CommandResult stuck = prepare("alice", request({publicKeys_[0]}));
    EXPECT_EQ(stuck.exitCode, 1);
    EXPECT_EQ(stuck.standardOutput, "");
    EXPECT_NE(stuck.standardError.find("Could not start the SSH server"), std::string::npos);
}

}  // namespace
}  // namespace tessaron
