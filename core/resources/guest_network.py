# Sets up the guest's WireGuard interface towards the relay.
#
# Run as root: `python3 -c <text> ACTION [JSON]`.
#
#   init    Makes sure the guest has its WireGuard key pair (the private key is created
#           once, kept in a 0600 file and never printed) and prints
#           {"publicKey": "<Base64 public key>"}.
#   apply   Takes the control panel's network answer as JSON:
#             {"address": "10.77.0.2/32" or ["10.77.0.2/32", "fd77::2/128"],
#              "peerPublicKey": "<relay's Base64 public key>",
#              "endpoint": "relay.example.net:51820" (IPv6 as "[2001:db8::1]:51820"),
#              "allowedIPs": ["10.77.0.1/32", ...],
#              "persistentKeepalive": 25}          (optional, 0 to 65535)
#           Other keys are ignored. Writes the wg-quick configuration, brings the
#           interface up (or restarts it when the configuration changed), enables it
#           at boot where systemd runs, and prints the status object below.
#   status  Prints {"tunnelState": "connected"|"connecting"|"offline"|"not-configured"|
#                                  "unknown",
#                   "lastHandshakeAt": <seconds since 1970>|null,
#                   "handshakeAt": <the same>, "error": <text>|null}
#           "connected" means a handshake within the last 180 seconds.
#
# Failures go to standard error with exit status 1.
# TESSARON_WIREGUARD_DIR names another folder than /etc/wireguard (for tests).

import base64
import ipaddress
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import time

INTERFACE = "tessaron"
HANDSHAKE_WINDOW = 180
ROUTING_TABLE = 51820
MAX_ALLOWED_IPS = 64
KEY_TEXT = re.compile(r"[A-Za-z0-9+/]{43}=", re.ASCII)
HOST_LABEL = re.compile(r"[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?", re.ASCII)
PORT_TEXT = re.compile(r"[0-9]{1,5}", re.ASCII)


class Failure(Exception):
    pass


def config_dir():
    return os.environ.get("TESSARON_WIREGUARD_DIR") or "/etc/wireguard"


def key_path():
    return os.path.join(config_dir(), INTERFACE + ".key")


def config_path():
    return os.path.join(config_dir(), INTERFACE + ".conf")


def run(arguments, input_text=None):
    try:
        return subprocess.run(arguments, input=input_text, capture_output=True, text=True)
    except OSError as error:
        raise Failure("Could not run %s: %s" % (arguments[0], error.strerror))


def checked(arguments, input_text=None):
    result = run(arguments, input_text)
    if result.returncode != 0:
        message = result.stderr.strip() or ("%s failed with status %d." % (" ".join(arguments[:2]), result.returncode))
        raise Failure(message)
    return result.stdout


def is_key(text):
    if not KEY_TEXT.fullmatch(text):
        return False
    try:
        return len(base64.b64decode(text, validate=True)) == 32
    except ValueError:
        return False


# --- private files ---------------------------------------------------------------------

def ensure_private_dir():
    path = config_dir()
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        pass
    except OSError as error:
        raise Failure("Could not create %s: %s" % (path, error.strerror))
    info = os.lstat(path)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.geteuid():
        raise Failure("%s is not a folder owned by root." % path)
    if info.st_mode & 0o077:
        os.chmod(path, 0o700)


def read_private(path):
    """The file's text, or None when it does not exist. Refuses links and files that
    are not regular, foreign-owned or open to others."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise Failure("Could not open %s safely: %s" % (path, error.strerror))
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid() or info.st_mode & 0o077:
            raise Failure("%s has unsafe ownership or permissions." % path)
        with os.fdopen(os.dup(fd), "rb") as handle:
            data = handle.read(65536)
    finally:
        os.close(fd)
    try:
        return data.decode("ascii")
    except UnicodeDecodeError:
        raise Failure("%s is damaged." % path)


def write_private(path, text):
    """Replaces the file atomically with a 0600 file holding `text`."""
    temporary = "%s.tmp-%d" % (path, os.getpid())
    try:
        os.unlink(temporary)
    except FileNotFoundError:
        pass
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        os.fchmod(fd, 0o600)
        os.write(fd, text.encode("ascii"))
        os.fsync(fd)
    except BaseException:
        os.close(fd)
        os.unlink(temporary)
        raise
    os.close(fd)
    os.rename(temporary, path)


# --- actions ---------------------------------------------------------------------------

def private_key():
    ensure_private_dir()
    stored = read_private(key_path())
    if stored is not None:
        stored = stored.strip()
        if not is_key(stored):
            raise Failure("The guest's WireGuard key in %s is damaged. Remove it to create a new key." % key_path())
        return stored
    generated = checked(["wg", "genkey"]).strip()
    if not is_key(generated):
        raise Failure("wg genkey returned no usable key.")
    write_private(key_path(), generated + "\n")
    return generated


def public_key(private):
    derived = checked(["wg", "pubkey"], private + "\n").strip()
    if not is_key(derived):
        raise Failure("wg pubkey returned no usable key.")
    return derived


def parse_endpoint(value):
    if not isinstance(value, str) or not value.isascii():
        raise Failure("The relay endpoint is not valid.")
    if value.startswith("["):
        host, separator, port = value[1:].partition("]:")
        try:
            if not separator or ipaddress.ip_address(host).version != 6:
                raise ValueError
        except ValueError:
            raise Failure("The relay endpoint is not valid.")
        host = "[%s]" % ipaddress.ip_address(host)
    else:
        host, separator, port = value.rpartition(":")
        labels = host.split(".")
        if not separator or len(host) > 253 or not all(HOST_LABEL.fullmatch(label) for label in labels):
            raise Failure("The relay endpoint is not valid.")
    if not PORT_TEXT.fullmatch(port) or not 1 <= int(port) <= 65535:
        raise Failure("The relay endpoint is not valid.")
    return "%s:%d" % (host, int(port))


def parse_networks(values, what, interface):
    if isinstance(values, str):
        values = [values]
    if not isinstance(values, list) or not 1 <= len(values) <= MAX_ALLOWED_IPS:
        raise Failure("The %s is not valid." % what)
    parsed = []
    for value in values:
        if not isinstance(value, str) or not value.isascii() or not re.fullmatch(r"[0-9A-Fa-f.:/]+", value):
            raise Failure("The %s is not valid." % what)
        try:
            parsed.append(ipaddress.ip_interface(value) if interface else ipaddress.ip_network(value, strict=False))
        except ValueError:
            raise Failure("The %s is not valid." % what)
    return parsed


def parse_integer(value, low, high, what):
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise Failure("The %s is not valid." % what)
    return value


def render_config(settings, private):
    addresses = parse_networks(settings.get("address"), "tunnel address", True)
    peer = settings.get("peerPublicKey")
    if not isinstance(peer, str) or not is_key(peer):
        raise Failure("The relay's public key is not valid.")
    endpoint = parse_endpoint(settings.get("endpoint"))
    allowed = parse_networks(settings.get("allowedIPs"), "list of allowed addresses", False)
    keepalive = settings.get("persistentKeepalive")
    if keepalive is not None:
        keepalive = parse_integer(keepalive, 0, 65535, "keepalive interval")

    lines = ["[Interface]", "PrivateKey = " + private,
             "Address = " + ", ".join(str(a) for a in addresses)]
    if any(network.prefixlen == 0 for network in allowed):
        # The relay may send traffic from any address. Keep the guest's own outbound
        # traffic on its ordinary route and send only answers from the tunnel
        # addresses back through the tunnel.
        lines.append("Table = off")
        for address in addresses:
            family = "-6" if address.version == 6 else "-4"
            lines.append("PostUp = ip %s rule add from %s table %d" % (family, address.ip, ROUTING_TABLE))
            lines.append("PostUp = ip %s route add default dev %%i table %d" % (family, ROUTING_TABLE))
            lines.append("PreDown = ip %s rule del from %s table %d" % (family, address.ip, ROUTING_TABLE))
    lines += ["", "[Peer]", "PublicKey = " + peer, "Endpoint = " + endpoint,
              "AllowedIPs = " + ", ".join(str(n) for n in allowed)]
    if keepalive:
        lines.append("PersistentKeepalive = %d" % keepalive)
    return "\n".join(lines) + "\n"


def interface_is_up():
    return run(["ip", "link", "show", "dev", INTERFACE]).returncode == 0


def apply(json_text):
    try:
        settings = json.loads(json_text)
    except ValueError:
        raise Failure("Invalid guest network configuration.")
    if not isinstance(settings, dict):
        raise Failure("Invalid guest network configuration.")
    private = private_key()
    wanted = render_config(settings, private)
    current = read_private(config_path())
    up = interface_is_up()
    if current == wanted and up:
        return status()
    write_private(config_path(), wanted)
    if up:
        run(["wg-quick", "down", config_path()])
    checked(["wg-quick", "up", config_path()])
    enable_at_boot()
    return status()


def enable_at_boot():
    """Brings the interface back after a reboot where systemd runs; best effort: a guest
    without systemctl, or where it fails, keeps the tunnel that is up now."""
    systemctl = shutil.which("systemctl")
    if config_dir() != "/etc/wireguard" or not systemctl:
        return
    try:
        if run([systemctl, "--version"]).returncode == 0:
            run([systemctl, "enable", "wg-quick@" + INTERFACE])
    except Failure:
        pass


def status():
    state = {"tunnelState": "unknown", "lastHandshakeAt": None, "handshakeAt": None, "error": None}
    try:
        configured = read_private(config_path()) is not None
    except Failure as error:
        state["error"] = str(error)
        return state
    if not configured:
        state["tunnelState"] = "not-configured"
        return state
    try:
        result = run(["wg", "show", INTERFACE, "latest-handshakes"])
    except Failure as error:
        state["error"] = str(error)
        return state
    if result.returncode != 0:
        state["tunnelState"] = "offline"
        state["error"] = result.stderr.strip() or "The WireGuard interface is not up."
        return state
    latest = 0
    for line in result.stdout.splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[1].isdigit():
            latest = max(latest, int(fields[1]))
    if latest > 0:
        state["lastHandshakeAt"] = state["handshakeAt"] = latest
    recent = latest > 0 and time.time() - latest < HANDSHAKE_WINDOW
    state["tunnelState"] = "connected" if recent else "connecting"
    return state


def main(arguments):
    action = arguments[0] if arguments else ""
    try:
        if action == "init" and len(arguments) == 1:
            result = {"publicKey": public_key(private_key())}
        elif action == "apply" and len(arguments) == 2:
            result = apply(arguments[1])
        elif action == "status" and len(arguments) == 1:
            result = status()
        else:
            raise Failure("Usage: guest_network.py init | apply JSON | status")
    except Failure as error:
        sys.stderr.write(str(error) + "\n")
        return 1
    except OSError as error:
        sys.stderr.write("%s: %s\n" % (error.filename or "guest networking", error.strerror))
        return 1
    sys.stdout.write(json.dumps(result, separators=(",", ":")) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
