#!/usr/bin/env bash
# Opens a shell set up as a stand-in Mac, to try Tessaron by hand: its own HOME and
# LIMA_HOME in a private temporary folder, tessaron and limactl on PATH, the stand-ins
# of the Mac's platform and hardware, and a loopback control panel and edge relay
# running. The commands that play the panel's user (approving a setup or a pairing
# code) are printed at the top. Leaving the shell stops every process started here,
# deletes the VM and removes the folder. Usage: scripts/mac-shell.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
tool=mac-shell
source "$root/scripts/standins.sh"

# What the shell left running (a `tessaron serve &`, a web server in the guest) carries
# this folder in TESSARON_MAC_SHELL; only those processes are stopped.
stop_shell_processes() {
  local environ pid
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    [ "$pid" = $$ ] && continue
    if { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qxF "TESSARON_MAC_SHELL=$demo"; then
      kill -TERM "$pid" 2>/dev/null || true
    fi
  done
}
cleanup() {
  trap - EXIT INT TERM
  stop_shell_processes
  stop_everything
  printf 'mac-shell: every process of this shell was stopped and %s removed.\n' "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

export HOME="$demo/home" LIMA_HOME="$demo/lima"
mkdir -p "$HOME" "$LIMA_HOME"
lima_homes+=("$LIMA_HOME")
web_port=$(free_port)
start_panel
start_relay
export PANEL="$panel" EDGE="ws://127.0.0.1:$ws_port/tunnel"

cat >"$demo/rc" <<RC
PS1='stand-in mac\\$ '
cd "\$HOME"
# The panel's user, through the panel's administrative API.
approve-setup() { curl -sS -X POST "\$PANEL/_admin/setups/latest/approve" -H 'Content-Type: application/json' --data '{"accountEmail": "you@example.com"}'; echo; }
approve-code() {
  local code
  code=\$(curl -sS "\$PANEL/_admin/pairing-codes/latest" | python3 -c 'import json, sys; print(json.load(sys.stdin)["code"])')
  curl -sS -X POST "\$PANEL/_admin/pairing-codes/\$code/approve" -H 'Content-Type: application/json' --data "{\"edgeURLs\": [\"\$EDGE\"]}"; echo
}
# The relay's WireGuard handshake, which the stand-in guest cannot make by itself.
guest-handshake() { limactl _standin-guest-shims tessaron && printf 'peer\t%s\n' "\$(date +%s)" >"\$LIMA_HOME/tessaron/guest/bin/handshake.txt"; }
cat <<'TEXT'
A stand-in Mac (an Apple M3 with 8 CPUs and 16 GiB; HOME and LIMA_HOME of its own).
  control panel  $panel    (\$PANEL; its admin API under \$PANEL/_admin/)
  edge relay     $EDGE    (\$EDGE; public HTTP at http://127.0.0.1:$http_port goes to guest port $web_port)

Try:
  tessaron onboard --control \$PANEL &     then approve it as the panel's user:  approve-setup
  tessaron connection-status; tessaron server status; tessaron vm resources
  guest-handshake; tessaron serve &         (the helper; queue commands through \$PANEL/_admin/)
  tessaron pair --transport legacy --control \$PANEL &   then:  approve-code
  tessaron help
Leave with exit: every process started here is stopped, the VM deleted, the folder removed.
TEXT
RC
export TESSARON_MAC_SHELL="$demo"
bash --rcfile "$demo/rc" -i || true
