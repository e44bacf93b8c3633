# Prepares SSH access to this Linux guest for the control panel.
#
# Run as root: `python3 -c <text> ACCOUNT REQUEST`, where ACCOUNT is the guest's
# ordinary Linux account and REQUEST the control panel's SSH answer in standard Base64.
#
# Request (a JSON object; other keys are ignored):
#   {"publicKeys": ["ssh-ed25519 AAAA... comment", ...]}    at most 32 keys
# Answer on standard output (one JSON object):
#   {"success": true, "ok": true, "account": "<account>", "addedKeys": <n>,
#    "sshd": "running"}
# Failures go to standard error with exit status 1.
#
# The keys are added to ~ACCOUNT/.ssh/authorized_keys unless already there (compared by
# key type and data, not by comment); existing lines are kept byte for byte and nothing
# is ever removed. ~/.ssh and the file are opened without following links, must belong
# to the account, and end up with modes 0700 and 0600; the file is replaced atomically.
# An SSH server is installed when missing and started.

import base64
import binascii
import json
import os
import pwd
import re
import shutil
import stat
import subprocess
import sys

MAX_KEYS = 32
MAX_KEY_LENGTH = 16384
MAX_FILE_BYTES = 1 << 20
ACCOUNT = re.compile(r"[a-z_][a-z0-9_-]{0,31}", re.ASCII | re.IGNORECASE)
KEY_TYPES = {
    "ssh-ed25519", "ssh-rsa", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521",
    "sk-ssh-ed25519@openssh.com", "sk-ecdsa-sha2-nistp256@openssh.com",
}
KEY_DATA = re.compile(r"[A-Za-z0-9+/]+={0,2}", re.ASCII)
COMMENT = re.compile(r"[\x20-\x7e]*", re.ASCII)


class Failure(Exception):
    pass


def parse_key(line):
    """Returns (type, data, normalised line) for one public key, or raises Failure."""
    if not isinstance(line, str) or len(line) > MAX_KEY_LENGTH or not line.isascii():
        raise Failure("The SSH request holds a key that is not valid.")
    fields = line.strip(" ").split(" ", 2)
    if len(fields) < 2 or fields[0] not in KEY_TYPES or not KEY_DATA.fullmatch(fields[1]):
        raise Failure("The SSH request holds a key that is not valid.")
    comment = fields[2].strip(" ") if len(fields) == 3 else ""
    if not COMMENT.fullmatch(comment):
        raise Failure("The SSH request holds a key that is not valid.")
    try:
        blob = base64.b64decode(fields[1], validate=True)
    except (binascii.Error, ValueError):
        raise Failure("The SSH request holds a key that is not valid.")
    # The key data starts with its own type name as an SSH string.
    length = int.from_bytes(blob[:4], "big") if len(blob) >= 4 else -1
    if blob[4:4 + length] != fields[0].encode("ascii"):
        raise Failure("The SSH request holds a key that is not valid.")
    normalised = " ".join([fields[0], fields[1]] + ([comment] if comment else []))
    return fields[0], fields[1], normalised


def parse_request(encoded):
    try:
        request = json.loads(base64.b64decode(encoded, validate=True).decode("utf-8"))
    except (binascii.Error, ValueError, UnicodeDecodeError):
        raise Failure("The SSH request could not be read.")
    if not isinstance(request, dict):
        raise Failure("The SSH request could not be read.")
    keys = request.get("publicKeys", [])
    if not isinstance(keys, list) or len(keys) > MAX_KEYS:
        raise Failure("The SSH request could not be read.")
    return [parse_key(key) for key in keys]


def account_entry(name):
    if not ACCOUNT.fullmatch(name) or name == "root":
        raise Failure("Could not identify the Linux account safely.")
    try:
        entry = pwd.getpwnam(name)
    except KeyError:
        raise Failure("The Linux account %s does not exist." % name)
    if entry.pw_uid == 0 or not os.path.isabs(entry.pw_dir):
        raise Failure("Could not identify the Linux account safely.")
    return entry


def open_directory(path_or_name, dir_fd=None):
    return os.open(path_or_name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=dir_fd)


def ssh_directory(entry):
    """Opens ~/.ssh (creating it), checked and fixed to 0700 and the account's owner."""
    try:
        home = open_directory(entry.pw_dir)
    except OSError:
        raise Failure("The home folder of %s is missing or is a link." % entry.pw_name)
    try:
        info = os.fstat(home)
        if info.st_uid not in (entry.pw_uid, 0):
            raise Failure("The home folder of %s belongs to another user." % entry.pw_name)
        try:
            os.mkdir(".ssh", 0o700, dir_fd=home)
            created = True
        except FileExistsError:
            created = False
        try:
            ssh = open_directory(".ssh", dir_fd=home)
        except OSError:
            raise Failure("~/.ssh of %s is not a folder." % entry.pw_name)
    finally:
        os.close(home)
    info = os.fstat(ssh)
    if created:
        os.fchown(ssh, entry.pw_uid, entry.pw_gid)
    elif info.st_uid != entry.pw_uid:
        os.close(ssh)
        raise Failure("~/.ssh of %s belongs to another user." % entry.pw_name)
    os.fchmod(ssh, 0o700)
    return ssh


def read_authorized_keys(ssh, entry):
    try:
        fd = os.open("authorized_keys", os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=ssh)
    except FileNotFoundError:
        return b""
    except OSError:
        raise Failure("~/.ssh/authorized_keys of %s could not be opened safely." % entry.pw_name)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or info.st_uid != entry.pw_uid:
            raise Failure("~/.ssh/authorized_keys of %s has unsafe ownership or type." % entry.pw_name)
        if info.st_size > MAX_FILE_BYTES:
            raise Failure("~/.ssh/authorized_keys of %s is too large." % entry.pw_name)
        with os.fdopen(os.dup(fd), "rb") as handle:
            return handle.read(MAX_FILE_BYTES + 1)
    finally:
        os.close(fd)


def present_keys(content):
    """(type, data) of every key line already present, options prefixes included."""
    found = set()
    for line in content.decode("utf-8", errors="replace").splitlines():
        fields = line.split()
        for i, field in enumerate(fields[:-1]):
            if field in KEY_TYPES:
                found.add((field, fields[i + 1]))
                break
    return found


def write_authorized_keys(ssh, entry, content):
    temporary = ".authorized_keys.tessaron-%d" % os.getpid()
    try:
        os.unlink(temporary, dir_fd=ssh)
    except FileNotFoundError:
        pass
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600, dir_fd=ssh)
    try:
        os.fchown(fd, entry.pw_uid, entry.pw_gid)
        os.fchmod(fd, 0o600)
        view = memoryview(content)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
        os.close(fd)
        fd = -1
        os.rename(temporary, "authorized_keys", src_dir_fd=ssh, dst_dir_fd=ssh)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        try:
            os.unlink(temporary, dir_fd=ssh)
        except OSError:
            pass
        raise


def install_keys(entry, keys):
    ssh = ssh_directory(entry)
    try:
        content = read_authorized_keys(ssh, entry)
        present = present_keys(content)
        additions = []
        for key_type, data, line in keys:
            if (key_type, data) not in present:
                present.add((key_type, data))
                additions.append(line)
        if additions:
            if content and not content.endswith(b"\n"):
                content += b"\n"
            content += "".join(line + "\n" for line in additions).encode("ascii")
            write_authorized_keys(ssh, entry, content)
        else:
            # Nothing to add; still make sure the file's mode is right if it exists.
            try:
                fd = os.open("authorized_keys", os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=ssh)
                os.fchmod(fd, 0o600)
                os.close(fd)
            except FileNotFoundError:
                pass
        return len(additions)
    finally:
        os.close(ssh)


# --- the SSH server ----------------------------------------------------------------------

def tool(name):
    return shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin:/usr/bin:/bin")


def quiet(arguments):
    try:
        return subprocess.run(arguments, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    except OSError as error:
        return subprocess.CompletedProcess(arguments, 127, "", str(error))


def install_server():
    if tool("apt-get"):
        quiet([tool("apt-get"), "update"])
        result = quiet([tool("apt-get"), "install", "-y", "openssh-server"])
    elif tool("apk"):
        result = quiet([tool("apk"), "add", "--no-cache", "openssh-server"])
    elif tool("dnf"):
        result = quiet([tool("dnf"), "install", "-y", "openssh-server"])
    else:
        raise Failure("Install openssh-server in Linux, then retry.")
    if result.returncode != 0 or not tool("sshd"):
        raise Failure(result.stderr.strip() or "Could not install the SSH server in Linux.")


def start_server():
    systemctl = tool("systemctl")
    if systemctl:
        for unit in ("ssh", "sshd"):
            if quiet([systemctl, "is-active", "--quiet", unit]).returncode == 0:
                return
        for unit in ("ssh", "sshd"):
            if quiet([systemctl, "enable", "--now", unit]).returncode == 0:
                return
    if tool("rc-service"):
        if quiet([tool("rc-service"), "sshd", "start"]).returncode == 0:
            if tool("rc-update"):
                quiet([tool("rc-update"), "add", "sshd"])
            return
    if tool("service"):
        for unit in ("ssh", "sshd"):
            if quiet([tool("service"), unit, "start"]).returncode == 0:
                return
    raise Failure("Could not start the SSH server in Linux.")


def main(arguments):
    try:
        if len(arguments) != 2:
            raise Failure("Usage: guest_ssh.py ACCOUNT BASE64-REQUEST")
        keys = parse_request(arguments[1])
        entry = account_entry(arguments[0])
        added = install_keys(entry, keys)
        if not tool("sshd"):
            install_server()
        start_server()
    except Failure as error:
        sys.stderr.write(str(error) + "\n")
        return 1
    except OSError as error:
        sys.stderr.write("SSH preparation failed: %s.\n" % error.strerror)
        return 1
    answer = {"success": True, "ok": True, "account": entry.pw_name, "addedKeys": added, "sshd": "running"}
    sys.stdout.write(json.dumps(answer, separators=(",", ":")) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
