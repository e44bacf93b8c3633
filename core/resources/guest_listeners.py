# Lists the TCP and UDP ports that programs inside this Linux guest listen on.
#
# Run as root with no arguments (the Mac runs it as `sudo -n python3 -c <text>`).
# Prints one JSON object on standard output:
#   {"available": bool,     # false when no socket table could be read at all
#    "truncated": bool,     # true when listeners were left out past the limit
#    "listeners": [{"protocol": "tcp"|"udp", "port": 1..65535,
#                   "processName": str|null, "binding": "all"|"loopback"|"specific"}, ...]}
# Listening TCP sockets and bound, unconnected UDP sockets are reported once per
# protocol and port, sorted by protocol then port, at most 64 of them. A process name
# is given only when it is plain ASCII letters, digits, "_", ".", "+", " " or "-"
# (1 to 64 characters); any other name is reported as null.
#
# TESSARON_PROC_ROOT names another folder to read instead of /proc (for tests).

import json
import os
import re
import sys

MAX_LISTENERS = 64
TCP_LISTEN = "0A"
UDP_UNCONNECTED = "07"
PROCESS_NAME = re.compile(r"[A-Za-z0-9_.+ -]{1,64}", re.ASCII)
SOCKET_LINK = re.compile(r"socket:\[([0-9]+)\]", re.ASCII)


def proc_root():
    return os.environ.get("TESSARON_PROC_ROOT") or "/proc"


def decode_address(text):
    """Returns (address bytes in network order, port) for a /proc/net hex address."""
    host, port = text.split(":")
    raw = bytes.fromhex(host)
    if len(raw) not in (4, 16):
        raise ValueError("bad address length")
    # Each 32-bit word is written in the kernel's (little-endian) byte order.
    ordered = b"".join(raw[i:i + 4][::-1] for i in range(0, len(raw), 4))
    return ordered, int(port, 16)


def binding_of(address):
    if len(address) == 16 and address[:12] == b"\x00" * 10 + b"\xff\xff":
        address = address[12:]  # IPv4-mapped IPv6 address
    if address == b"\x00" * len(address):
        return "all"
    if len(address) == 4 and address[0] == 127:
        return "loopback"
    if len(address) == 16 and address == b"\x00" * 15 + b"\x01":
        return "loopback"
    return "specific"


def read_table(path, protocol, wanted_state):
    """Yields (protocol, port, binding, inode) for matching sockets of one table."""
    with open(path, "r", encoding="ascii", errors="replace") as table:
        lines = table.read().splitlines()
    for line in lines[1:]:
        fields = line.split()
        if len(fields) < 10:
            continue
        try:
            address, port = decode_address(fields[1])
            _, remote_port = decode_address(fields[2])
            state = fields[3].upper()
            inode = int(fields[9])
        except ValueError:
            continue
        if state != wanted_state or not 1 <= port <= 65535:
            continue
        if protocol == "udp" and remote_port != 0:
            continue
        yield protocol, port, binding_of(address), inode


def socket_owners(root):
    """Maps socket inode to the sorted names of the processes holding it."""
    owners = {}
    try:
        entries = os.listdir(root)
    except OSError:
        return owners
    for pid in entries:
        if not pid.isdigit():
            continue
        try:
            with open(os.path.join(root, pid, "comm"), "r", encoding="utf-8", errors="replace") as comm:
                name = comm.read().rstrip("\n")
            fd_dir = os.path.join(root, pid, "fd")
            links = [os.readlink(os.path.join(fd_dir, fd)) for fd in os.listdir(fd_dir)]
        except OSError:
            continue  # the process ended or is not ours to inspect
        for link in links:
            match = SOCKET_LINK.fullmatch(link)
            if match:
                owners.setdefault(int(match.group(1)), set()).add(name)
    return owners


def usable_name(names):
    for name in sorted(names):
        if PROCESS_NAME.fullmatch(name):
            return name
    return None


# When the same port is bound several times, the widest binding describes it.
BINDING_RANK = {"loopback": 0, "specific": 1, "all": 2}


def collect(root):
    tables = [("tcp", "tcp", TCP_LISTEN), ("tcp6", "tcp", TCP_LISTEN),
              ("udp", "udp", UDP_UNCONNECTED), ("udp6", "udp", UDP_UNCONNECTED)]
    sockets = []
    readable = 0
    for name, protocol, state in tables:
        try:
            sockets.extend(read_table(os.path.join(root, "net", name), protocol, state))
            readable += 1
        except (OSError, ValueError):
            continue
    if readable == 0:
        return {"available": False, "truncated": False, "listeners": []}

    owners = socket_owners(root)
    merged = {}
    for protocol, port, binding, inode in sockets:
        entry = merged.setdefault((protocol, port), {"binding": binding, "names": set()})
        if BINDING_RANK[binding] > BINDING_RANK[entry["binding"]]:
            entry["binding"] = binding
        entry["names"].update(owners.get(inode, ()))

    listeners = []
    for (protocol, port) in sorted(merged):
        entry = merged[(protocol, port)]
        listeners.append({
            "protocol": protocol,
            "port": port,
            "processName": usable_name(entry["names"]),
            "binding": entry["binding"],
        })
    truncated = len(listeners) > MAX_LISTENERS
    return {"available": True, "truncated": truncated, "listeners": listeners[:MAX_LISTENERS]}


def main():
    report = collect(proc_root())
    sys.stdout.write(json.dumps(report, separators=(",", ":"), ensure_ascii=True) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
