#include "standins/limactl/guest_shims.h"

#include "standins/limactl/arguments.h"
#include "standins/limactl/instance.h"

#include <fstream>
#include <unistd.h>

namespace tessaron::standin::limactl {
namespace {

// The guest's python3 runs this instead of a script: it teaches pwd the guest's account,
// then runs `-c CODE` or the script with the remaining arguments.
constexpr const char* guestPython = R"(import collections, json, os, pwd, sys
here = os.path.dirname(os.path.abspath(__file__))
Entry = collections.namedtuple("Entry", "pw_name pw_passwd pw_uid pw_gid pw_gecos pw_dir pw_shell")
with open(os.path.join(here, "accounts.json")) as f:
    accounts = json.load(f)
system_getpwnam = pwd.getpwnam
def getpwnam(name):
    if name in accounts:
        uid, gid, home = accounts[name]
        return Entry(name, "x", uid, gid, "", home, "/bin/sh")
    return system_getpwnam(name)
pwd.getpwnam = getpwnam
arguments = sys.argv[1:]
if len(arguments) >= 2 and arguments[0] == "-c":
    sys.argv = ["-c"] + arguments[2:]
    exec(compile(arguments[1], "<string>", "exec"), {"__name__": "__main__"})
else:
    import runpy
    sys.argv = arguments
    runpy.run_path(arguments[0], run_name="__main__")
)";

// A guest account name as useradd accepts it; it is written into a shell script and JSON.
bool isValidAccount(const std::string& account) {
    if (account.empty() || account.size() > 32) return false;
    if (!((account[0] >= 'a' && account[0] <= 'z') || account[0] == '_')) return false;
    for (char c : account)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
    return true;
}

// Written beside the final name and renamed over it, so a guest command never runs half a shim.
void writeFile(const fs::path& path, const std::string& bytes, fs::perms mode) {
    const fs::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << bytes;
        out.close();
        if (!out) throw LimactlError("cannot write " + temporary.string());
    }
    fs::permissions(temporary, mode);
    fs::rename(temporary, path);
}

void writeShim(const fs::path& bin, const std::string& name, const std::string& body) {
    writeFile(bin / name,
              "#!/bin/sh\nhere=\"$(cd \"$(dirname \"$0\")\" && pwd)\"\necho \"" + name + " $*\" >> \"$here/calls.log\"\n" +
                  body + "\n",
              fs::perms(0755));
}

}  // namespace

int runGuestShims(const std::vector<std::string>& arguments) {
    const ParsedArguments parsed = parseArguments(arguments, {{"account"}, {"uid"}});
    if (parsed.positionals.size() != 1)
        throw LimactlError("accepts 1 arg(s), received " + std::to_string(parsed.positionals.size()));
    const std::string& name = parsed.positionals.front();
    requireValidInstanceName(name);
    const std::string account = parsed.value("account").value_or("tessa");
    if (!isValidAccount(account)) throw LimactlError("invalid argument " + goQuote(account) + " for \"--account\" flag");
    const long long uid = parseIntValue("uid", parsed.value("uid").value_or("4242"));
    if (uid < 0 || uid > 2147483647)
        throw LimactlError("invalid argument " + goQuote(std::to_string(uid)) + " for \"--uid\" flag");
    if (!instanceExists(name)) throw LimactlError("instance " + goQuote(name) + " does not exist");

    const fs::path guest = instanceDir(name) / "guest";
    const fs::path bin = guest / "bin";
    const fs::path home = guest / "home";
    fs::create_directories(bin);
    fs::create_directories(home);
    // Best effort: as root the home belongs to the account, as a guest's would.
    if (::chown(home.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid)) != 0) {
    }

    const std::string id = std::to_string(uid);
    writeFile(bin / "accounts.json", "{\"" + account + "\": [" + id + ", " + id + ", \"" + home.string() + "\"]}",
              fs::perms(0644));
    writeFile(bin / "guest_python.py", guestPython, fs::perms(0644));
    writeShim(bin, "python3",
              "export TESSARON_WIREGUARD_DIR=\"$here/../wireguard\"\nexec /usr/bin/python3 \"$here/guest_python.py\" \"$@\"");
    writeShim(bin, "id", "if [ \"$1\" = -un ]; then echo '" + account + "'; else exec /usr/bin/id \"$@\"; fi");
    writeShim(bin, "ip", "[ -e \"$here/up\" ]");
    writeShim(bin, "wg-quick", "case \"$1\" in up) touch \"$here/up\";; down) rm -f \"$here/up\";; esac");
    writeShim(bin, "systemctl", "exit 0");
    writeShim(bin, "wg",
              "if [ \"$1\" = show ]; then\n"
              "  [ -e \"$here/up\" ] || { echo 'Unable to access interface: No such device' >&2; exit 1; }\n"
              "  if [ -e \"$here/handshake.txt\" ]; then cat \"$here/handshake.txt\"; else printf 'peer\\t0\\n'; fi; exit 0\n"
              "fi\nexec /usr/bin/wg \"$@\"");
    return 0;
}

}  // namespace tessaron::standin::limactl
