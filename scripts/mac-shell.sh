#!/usr/bin/env bash
# Opens a shell set up as one stand-in Mac, to try Tessaron by hand: a home of its own in
# a private temporary folder, with the app in ~/Applications (tessaron and limactl on PATH
# from there) and the Linux VM in ~/.lima, where the helper that launchd starts finds it
# too; the stand-ins of the Mac's platform and hardware, which launchd's jobs get as well;
# and a loopback control panel and edge relay running. As on a Mac, the shell's user is an
# ordinary user, not root. The commands that play the panel's user are printed at the top.
# Leaving the shell stops every process started here, deletes the VM and removes the
# folder. Usage: scripts/mac-shell.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
tool=mac-shell

# Started as root, the shell runs in a mount namespace of its own, where the Mac's user gets an
# account that only this shell's processes see (see below): nothing of this machine changes.
if [ "$(id -u)" -eq 0 ] && [ -z "${TESSARON_MAC_SHELL_NAMESPACE:-}" ]; then
  if ! unshare --mount --propagation private true 2>/dev/null; then
    echo "$tool: started as root, this shell needs a mount namespace of its own for the Mac's user, and none" \
      "can be made here (in a chroot, for example); start it as an ordinary user instead." >&2
    exit 1
  fi
  TESSARON_MAC_SHELL_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$build"
fi
outer_path=$PATH
source "$root/scripts/standins.sh"

# What the shell left running (a `tessaron serve &`, launchd's jobs, the VM's host agent, a
# web server in the guest) carries this folder in TESSARON_MAC_SHELL; only those
# processes are stopped, and killed when they outlive a few seconds.
stop_shell_processes() {
  local environ pid pids=()
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    [ "$pid" = $$ ] && continue
    if { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qxF "TESSARON_MAC_SHELL=$demo"; then
      kill -TERM "$pid" 2>/dev/null && pids+=("$pid")
    fi
  done
  for _ in $(seq 50); do
    local alive=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && return
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
}
cleanup() {
  trap - EXIT INT TERM HUP
  stop_shell_processes
  stop_everything
  printf 'mac-shell: every process of this shell was stopped and %s removed.\n' "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# The Mac's VM, whoever started it, stops when this script ends, even when it is killed.
export TESSARON_STANDIN_WATCH_PID=$$

# The Mac's user. `tessaron service enable` and `enable-headless` refuse root, as on a
# Mac; started as root, the shell runs as a user of its own (the light guest's ssh-keygen and
# sshd, and launchd's UserName, need a user with an account). The account is in copies of
# /etc/passwd and /etc/group mounted over them in this shell's own mount namespace, so only
# this shell's processes see it and it is gone with them. The panel and the relay stay root's.
if [ "$(id -u)" -eq 0 ]; then
  taken=" $(ps -e -o uid= | tr -s ' \n' '  ') "
  mac_uid=
  for candidate in $(seq 41000 42000); do
    getent passwd "$candidate" >/dev/null || getent group "$candidate" >/dev/null ||
      getent passwd "tessa$candidate" >/dev/null || getent group "tessa$candidate" >/dev/null ||
      [[ "$taken" == *" $candidate "* ]] || { mac_uid=$candidate; break; }
  done
  [ -n "$mac_uid" ] || fail "no free user ID for the Mac's user"
  mac_user=tessa$mac_uid
  mkdir -p "$demo/etc"
  cp /etc/passwd /etc/group "$demo/etc/"
  echo "$mac_user:x:$mac_uid:$mac_uid:Tessaron stand-in Mac user:$demo/home:/bin/bash" >>"$demo/etc/passwd"
  echo "$mac_user:x:$mac_uid:" >>"$demo/etc/group"
  chmod 0644 "$demo/etc/passwd" "$demo/etc/group"
  mount --bind "$demo/etc/passwd" /etc/passwd && mount --bind "$demo/etc/group" /etc/group ||
    fail "could not give the Mac's user an account in this shell's namespace"
  as_mac_user=(setpriv --reuid="$mac_uid" --regid="$mac_uid" --init-groups)
else
  mac_uid=$(id -u)
  mac_user=$(id -un 2>/dev/null || echo "${USER:-you}")
  as_mac_user=()
fi
chmod 0711 "$demo"  # the user reaches the home and the programs below, nothing else
chmod 0700 "$demo/logs"

# The Mac's home: the app in ~/Applications, the VM in ~/.lima (LIMA_HOME is not set, so
# that the helper launchd starts finds the same VM).
export HOME="$demo/home" USER="$mac_user" LOGNAME="$mac_user"
unset LIMA_HOME XDG_RUNTIME_DIR
lima_homes+=("$HOME/.lima")
mkdir -p "$HOME/Applications" "$HOME/.launchctl-standin"
: >"$HOME/.launchctl-standin/calls.log"  # the user's, also when root's launchctl calls come first
cp -a "$bundle" "$HOME/Applications/"
app="$HOME/Applications/Tessaron.app"
export PATH="$app/Contents/MacOS:$app/Contents/Resources/lima/bin:$outer_path"

# The platform's stand-ins, where the user reaches them; launchd's jobs get them too, as a
# Mac's jobs have its platform. sudo is a set-user-ID copy that only the user may run.
mkdir -p "$demo/platform"
cp "$standins/ps" "$standins/launchctl" "$demo/platform/"
export TESSARON_PS_PATH="$demo/platform/ps" TESSARON_LAUNCHCTL_PATH="$demo/platform/launchctl" \
  TESSARON_SUDO_PATH="$standins/sudo"
if [ ${#as_mac_user[@]} -gt 0 ]; then
  mkdir -p "$demo/platform/root"
  cp "$standins/sudo" "$demo/platform/root/sudo"
  chown "0:$mac_uid" "$demo/platform/root"
  chmod 0750 "$demo/platform/root"
  chmod 4755 "$demo/platform/root/sudo"
  if [ "$("${as_mac_user[@]}" "$demo/platform/root/sudo" /usr/bin/id -u 2>/dev/null)" = 0 ]; then
    TESSARON_SUDO_PATH="$demo/platform/root/sudo"
  fi
fi
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
export TESSARON_MAC_SHELL="$demo"
export TESSARON_LAUNCHCTL_PASS_ENV=TESSARON_PS_PATH,TESSARON_LAUNCHCTL_PATH,TESSARON_SUDO_PATH,TESSARON_LAUNCH_DAEMONS_DIR,TESSARON_STANDIN_HARDWARE,TESSARON_STANDIN_WATCH_PID,TESSARON_MAC_SHELL,QT_QPA_PLATFORM,DISPLAY,WAYLAND_DISPLAY,XAUTHORITY
[ ${#as_mac_user[@]} -eq 0 ] || chown -R "$mac_uid:$mac_uid" "$HOME"

web_port=$(free_port)
start_panel
start_relay
export PANEL="$panel" EDGE="ws://127.0.0.1:$ws_port/tunnel"

# The light guest runs its commands as this user, who cannot change this machine: its
# WireGuard and account tools are the stand-in's shims, there from the VM's first start.
export TESSARON_STANDIN_GUEST_SHIMS=1

cat >"$demo/panel-user" <<'PANEL_USER'
#!/usr/bin/env python3
"""The panel's user, through the panel stand-in's administrative API.
approve-setup: approves the setup waiting for approval; approve-code: approves the latest
pairing code, with the relay $EDGE as its edge."""
import json
import os
import sys
import urllib.error
import urllib.request

PANEL = os.environ["PANEL"]


def call(method, path, body=None):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(PANEL + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, json.load(answer)
    except urllib.error.HTTPError as error:
        try:
            return error.code, json.load(error)
        except ValueError:
            return error.code, {}
    except (OSError, ValueError) as error:
        sys.exit("The panel at %s did not answer: %s" % (PANEL, error))


def approve_setup():
    status, setup = call("POST", "/_admin/setups/latest/approve", {"accountEmail": "you@example.com"})
    if status == 404:
        sys.exit("No setup is waiting for approval: start one with  tessaron onboard --control $PANEL &")
    if status != 200:
        sys.exit(setup.get("error") or "The panel refused the approval (status %d)." % status)
    print("Approved the setup with code %s for you@example.com; the Mac goes on by itself." % setup.get("code"))


def approve_code():
    status, pairing = call("GET", "/_admin/pairing-codes/latest")
    if status == 404:
        sys.exit("No pairing code is waiting for approval: start one with  "
                 "tessaron pair --transport legacy --control $PANEL &")
    code = pairing.get("code")
    if status != 200 or pairing.get("status") != "pending":
        sys.exit("The latest pairing code, %s, is %s, not waiting for approval: start a new one with  "
                 "tessaron pair --transport legacy --control $PANEL &" % (code, pairing.get("status")))
    status, pairing = call("POST", "/_admin/pairing-codes/%s/approve" % code, {"edgeURLs": [os.environ["EDGE"]]})
    if status != 200:
        sys.exit(pairing.get("error") or "The panel refused the approval (status %d)." % status)
    print("Approved the pairing code %s, with the relay as its edge; the Mac is %s in the panel."
          % (code, pairing.get("machineId")))


{"approve-setup": approve_setup, "approve-code": approve_code}[sys.argv[1]]()
PANEL_USER
chmod 0755 "$demo/panel-user"

headless_note=
[ "$TESSARON_SUDO_PATH" = "$standins/sudo" ] &&
  headless_note="  (enable-headless needs root's half, which this shell's sudo cannot give here)"
cat >"$demo/rc" <<RC
PS1='stand-in mac\\$ '
cd "\$HOME"
approve-setup() { "$demo/panel-user" approve-setup; }
approve-code() { "$demo/panel-user" approve-code; }
# The relay's WireGuard handshake, which the stand-in guest cannot make by itself.
guest-handshake() { limactl _standin-guest-shims tessaron && printf 'peer\t%s\n' "\$(date +%s)" >"\$HOME/.lima/tessaron/guest/bin/handshake.txt"; }
cat <<'TEXT'
A stand-in Mac: an Apple M3 with 8 CPUs and 16 GiB, and you as its user $mac_user (user ID $mac_uid,
not root: \`service enable\` and \`enable-headless\` refuse root, as on a Mac). Tessaron is in
~/Applications, the Linux VM in ~/.lima (a light guest), where launchd's jobs find them too.
  control panel  $panel    (\$PANEL; the panel's user acts through its admin API, \$PANEL/_admin/,
                 described in standins/panel/README.md)
  edge relay     $EDGE    (\$EDGE; public HTTP at http://127.0.0.1:$http_port goes to guest port $web_port)

Try:
  tessaron onboard --control \$PANEL &     then approve it as the panel's user:  approve-setup
  tessaron connection-status; tessaron server status; tessaron vm resources
  tessaron serve &                         the helper; guest-handshake stands in for the relay's handshake
  tessaron service enable                  or launchd keeps the helper running (~/Library/Logs/Tessaron)
  tessaron server disconnect; tessaron server connect; tessaron server restart --confirm
  tessaron vm resize --cpus 2 --memory-gib 4 --restart; tessaron vm listeners; tessaron ssh uname -a
  tessaron enable-headless$headless_note
  tessaron pair --transport legacy --control \$PANEL &   then:  approve-code
  tessaron help
A restart as the panel's user: curl -s -X POST -H 'Content-Type: application/json' \$PANEL/_admin/machines/<machineId>/commands -d '{"kind": "restart"}'
Leave with exit: every process started here is stopped, the VM deleted, the folder removed.
TEXT
RC
chmod 0644 "$demo/rc"
"${as_mac_user[@]}" bash --rcfile "$demo/rc" -i || true
