#include "support/wireguard_guest_shims.h"

#include "support/temp_dir.h"

#include <unistd.h>

namespace tessaron::testing {
namespace fs = std::filesystem;
namespace {

void shim(const fs::path& bin, const std::string& name, const std::string& body) {
    writeFile(bin / name, "#!/bin/sh\nhere=\"$(cd \"$(dirname \"$0\")\" && pwd)\"\necho \"" + name +
                              " $*\" >> \"$here/calls.log\"\n" + body + "\n");
    fs::permissions(bin / name, fs::perms(0755));
}

}  // namespace

WireGuardGuestShims::WireGuardGuestShims(fs::path bin, std::string account, uid_t uid)
    : bin_(std::move(bin)), account_(std::move(account)), uid_(uid) {
    fs::create_directories(bin_);
    fs::create_directories(home());
    ::chown(home().c_str(), uid_, uid_);

    writeFile(bin_ / "accounts.json",
              "{\"" + account_ + "\": [" + std::to_string(uid_) + ", " + std::to_string(uid_) + ", \"" + home().string() + "\"]}");
    writeFile(bin_ / "guest_python.py", R"(import collections, json, os, pwd, sys
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
)");
    shim(bin_, "python3",
         "export TESSARON_WIREGUARD_DIR=\"$here/../wireguard\"\nexec /usr/bin/python3 \"$here/guest_python.py\" \"$@\"");
    shim(bin_, "id", "if [ \"$1\" = -un ]; then echo '" + account_ + "'; else exec /usr/bin/id \"$@\"; fi");
    shim(bin_, "ip", "[ -e \"$here/up\" ]");
    shim(bin_, "wg-quick", "case \"$1\" in up) touch \"$here/up\";; down) rm -f \"$here/up\";; esac");
    shim(bin_, "systemctl", "exit 0");
    shim(bin_, "wg",
         "if [ \"$1\" = show ]; then\n"
         "  [ -e \"$here/up\" ] || { echo 'Unable to access interface: No such device' >&2; exit 1; }\n"
         "  if [ -e \"$here/handshake.txt\" ]; then cat \"$here/handshake.txt\"; else printf 'peer\\t0\\n'; fi; exit 0\n"
         "fi\nexec /usr/bin/wg \"$@\"");
}

void WireGuardGuestShims::setHandshake(std::optional<long> secondsSince1970) const {
    if (!secondsSince1970) {
        fs::remove(bin_ / "handshake.txt");
        return;
    }
    writeFile(bin_ / "handshake.txt", "peer\t" + std::to_string(*secondsSince1970) + "\n");
}

bool WireGuardGuestShims::interfaceUp() const {
    return fs::exists(bin_ / "up");
}

std::string WireGuardGuestShims::calls() const {
    return fs::exists(bin_ / "calls.log") ? readFile(bin_ / "calls.log") : "";
}

}  // namespace tessaron::testing
