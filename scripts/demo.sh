#!/usr/bin/env bash
# The main job: runs the whole system against the stand-ins in a private temporary home
# and says what it does as it goes. A loopback control panel and edge relay stand in for
# the web service; two "Macs" (a private HOME and LIMA_HOME each) pair with the panel:
#   1. a Mac onboarded through the panel's setup (WireGuard transport): approval, status,
#      the connection helper carrying out a restart queued in the panel; its VM is a real
#      QEMU guest with a real WireGuard peer where this machine allows (root, QEMU), and
#      then a public request reaches a web server in the guest over WireGuard;
#   2. a Mac paired with a pairing code and edge URLs (the older transport): a web server
#      in its guest answers a public HTTP request through the relay.
# Every process it starts is stopped and the temporary folder removed on exit, on
# failure and on Ctrl-C. Usage: scripts/demo.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
tool=demo
# The programs by name, the platform's stand-ins, the private folder $demo, start,
# wait_for, admin, start_panel, start_relay and stop_everything.
source "$root/scripts/standins.sh"

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  stop_everything
  if [ "$status" = 0 ]; then
    printf '\n== Done. Every process of this run was stopped and %s removed.\n' "$demo"
  else
    printf '\n== The demo stopped early (status %s). Every process of this run was stopped and %s removed.\n' \
      "$status" "$demo" >&2
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------------------------------
# Output and waiting.
say() { printf '\n== %s\n' "$*"; }
note() { printf '   %s\n' "$*"; }
# The words of a command as one would type them: the build folder shortened, quoted where needed.
shown() {
  local word out=()
  for word in "$@"; do
    word=${word//"$build"/build}
    [[ $word =~ ^[A-Za-z0-9_./:=@%+,-]+$ ]] || word="'${word//\'/\'\\\'\'}'"
    out+=("$word")
  done
  printf '%s' "${out[*]}"
}
run() { printf '$ %s\n' "$(shown "$@")"; "$@"; }
# on_mac N COMMAND…, shown with the Mac's prompt.
run_on() { local n=$1; shift; printf 'mac%s$ %s\n' "$n" "$(shown "$@")"; on_mac "$n" "$@"; }
prompt() { local n=$1; shift; printf 'mac%s$ %s\n' "$n" "$*"; }

alive() { kill -0 "$1" 2>/dev/null; }
# Waits (bounded) for a background child to end; its exit status in `ended_status`.
wait_exit() {
  local pid=$1 seconds=$2 deadline=$((SECONDS + $2))
  while alive "$pid"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "process $pid did not end within ${seconds} s"
    sleep 0.2
  done
  ended_status=0
  wait "$pid" || ended_status=$?
}
# Prints the lines of logs/NAME after the first FROM lines; sets `shown_lines`.
show_log() {
  local name=$1 from=${2:-0}
  tail -n "+$((from + 1))" "$demo/logs/$name" | sed 's/^/    /'
  shown_lines=$(wc -l <"$demo/logs/$name")
}

# One Mac: its own HOME and LIMA_HOME; `on_mac N COMMAND…` runs a command on it. The
# configuration path is named explicitly so that each connection helper carries it in
# its environment: that is how helpers of two Macs on one machine tell each other apart.
mac_env() {
  local n=$1
  mac=(env "HOME=$demo/mac$n/home" "LIMA_HOME=$demo/mac$n/lima"
    "TESSARON_CONFIG_PATH=$demo/mac$n/home/Library/Application Support/Tessaron/agent.json")
  if [ "$n" = 1 ] && [ "${real_guest:-0}" = 1 ]; then mac+=("TESSARON_STANDIN_GUEST=qemu"); fi
}
on_mac() {
  mac_env "$1"
  shift
  "${mac[@]}" "$@"
}
new_mac() {
  mkdir -p "$demo/mac$1/home" "$demo/mac$1/lima"
  lima_homes+=("$demo/mac$1/lima")
}

# The connection helper's WireGuard pass runs every 15 s; a build that honours this
# variable runs it every 2 s, which keeps this run short (without it the wait is longer).
export TESSARON_PASS_INTERVAL_MS=2000
export HOME="$demo/home" LIMA_HOME="$demo/lima"
mkdir -p "$HOME" "$LIMA_HOME"

say "A private temporary folder for this run: $demo"
note "Each Mac gets its own HOME and LIMA_HOME in it; nothing outside it is touched."

# The first Mac's VM is a real Linux guest under QEMU where this machine can run one (root,
# QEMU, wireguard-go, the guest image in its cache), with a real WireGuard peer as the
# relay's end; otherwise the light guest, whose commands run on this machine.
real_guest=0
real_guest_why="it needs root"
if [ "$(id -u)" -eq 0 ]; then
  real_guest_why="QEMU or wireguard-go is not installed"
  if command -v qemu-system-x86_64 >/dev/null && command -v wireguard-go >/dev/null && [ -x "$standins/tessaron-wg-peer" ]; then
    real_guest_why="the guest image could not be built"
    "$root/scripts/build-guest-image.sh" && real_guest=1
  fi
fi
if [ "$real_guest" = 1 ]; then
  note "The first Mac's VM is a real Linux guest (QEMU, image cache $("$root/scripts/build-guest-image.sh" --print))."
  start wgpeer "$standins/tessaron-wg-peer" --dir "$demo/wgpeer" --forward-port "$(free_port)"
  wait_for 30 "the WireGuard peer" log_has wgpeer "WireGuard peer ready"
  export TESSARON_STANDIN_WG_PEER="$demo/wgpeer"
  guest_web_port=$(json_get forwardPort <"$demo/wgpeer/peer.json")
  public_wg_port=$(json_get publicPort <"$demo/wgpeer/peer.json")
  note "The relay's WireGuard end: tessaron-wg-peer (wireguard-go in a network namespace of its own);"
  note "public port 127.0.0.1:$public_wg_port goes through the tunnel to port $guest_web_port of the guest."
else
  note "The first Mac's VM is the light stand-in guest: the real one was not possible ($real_guest_why)."
fi

# ---------------------------------------------------------------------------------------
say "1. The control panel and the edge relay (loopback stand-ins of the web service)"
web_port=$(free_port)
printf '$ tessaron-panel --port 0 &\n'
start_panel
note "panel: $panel (admin API under $panel/_admin/)"
printf '$ tessaron-edge --http-target %s &\n' "$web_port"
start_relay
note "relay: tunnels at ws://127.0.0.1:$ws_port, public HTTP at http://127.0.0.1:$http_port (sent to port $web_port of the Mac that is connected)"

# ---------------------------------------------------------------------------------------
say "2. First Mac: tessaron onboard, approved in the panel"
new_mac 1
mac_env 1
prompt 1 "tessaron onboard --control $panel --name \"Demo Mac\" &"
start onboard "${mac[@]}" tessaron onboard --control "$panel" --name "Demo Mac"
onboard_pid=$last_pid
wait_for 30 "the setup to reach the panel" admin GET /_admin/setups/latest
wait_for 10 "the approval lines" log_has onboard "Waiting for account approval"
sleep 2.5  # one more poll, so that the waiting state shows
show_log onboard
setup=$(admin GET /_admin/setups/latest)
note "The panel's user approves setup $(json_get id <<<"$setup") (code $(json_get code <<<"$setup")):"
printf '$ curl -X POST %s/_admin/setups/latest/approve -d %s\n' "$panel" "'{\"accountEmail\": \"you@example.com\"}'"
stage=$(admin POST /_admin/setups/latest/approve '{"accountEmail": "you@example.com"}' | json_get stage)
note "setup stage: $stage"
wait_exit "$onboard_pid" 300  # a real guest boots under emulation
show_log onboard "$shown_lines"
[ "$ended_status" = 0 ] || fail "tessaron onboard ended with status $ended_status"
machine=$(admin GET /_admin/setups/latest | json_get machineId)
note "The panel now knows machine $machine; the VM was created by limactl:"
run_on 1 limactl list --format '{{.Name}} {{.Status}} cpus={{.CPUs}} memory={{.Memory}} ssh=127.0.0.1:{{.SSHLocalPort}}'

# ---------------------------------------------------------------------------------------
say "3. Status of the first Mac, before its connection helper runs"
run_on 1 tessaron connection-status
run_on 1 tessaron server status

# ---------------------------------------------------------------------------------------
say "4. The connection helper (tessaron serve) carries out a restart queued in the panel"
if [ "$real_guest" = 0 ]; then
  note "The guest's WireGuard tools are stand-in shims on this machine; the relay's"
  note "handshake is written by hand, as the real peer would make one:"
  run_on 1 limactl _standin-guest-shims tessaron
  printf 'peer\t%s\n' "$(date +%s)" >"$demo/mac1/lima/tessaron/guest/bin/handshake.txt"
fi
prompt 1 "tessaron serve &"
start serve1 "${mac[@]}" tessaron serve
serve1_pid=$last_pid
wait_for 180 "the WireGuard connection" log_has serve1 "WireGuard connected"
if [ "$real_guest" = 1 ]; then
  note "The guest's WireGuard interface, with the real handshake of the peer:"
  run_on 1 limactl shell tessaron sudo wg show tessaron
  note "A web server in the guest, and a public request through the WireGuard tunnel:"
  run_on 1 limactl shell tessaron sudo systemd-run --quiet --unit=demo-web python3 -m http.server "$guest_web_port" \
    --directory /usr/lib
  wait_for 60 "the guest's web server" curl -sf --max-time 5 "http://127.0.0.1:$public_wg_port/os-release"
  run curl -sS --max-time 10 "http://127.0.0.1:$public_wg_port/os-release"
fi
machine_field() { admin GET "/_admin/machines/$machine" | json_get "$@"; }
polled() { [ "$(machine_field commandPolls)" -gt 0 ] && [ "$(machine_field bootId)" != null ]; }
wait_for 60 "the helper's first poll of the panel" polled
show_log serve1
run_on 1 tessaron connection-status
boot_before=$(on_mac 1 limactl shell tessaron cat /proc/sys/kernel/random/boot_id)
note "The guest's boot id: $boot_before"
note "The panel's user asks for a restart:"
printf '$ curl -X POST %s/_admin/machines/%s/commands -d %s\n' "$panel" "$machine" "'{\"kind\": \"restart\"}'"
command=$(admin POST "/_admin/machines/$machine/commands" '{"kind": "restart"}')
command_id=$(json_get id <<<"$command")
note "queued: $command_id for boot $(json_get bootId <<<"$command")"
command_field() {
  admin GET "/_admin/machines/$machine" |
    python3 -c 'import json, sys; print(next(c for c in json.load(sys.stdin)["commands"] if c["id"] == sys.argv[1])["status"])' "$command_id"
}
settled() { case $(command_field) in succeeded | failed) return 0 ;; *) return 1 ;; esac; }
note "The helper claims it at its next pass (every 15 s unless TESSARON_PASS_INTERVAL_MS shortens it) and restarts the VM:"
wait_for 240 "the restart to complete (the helper's next pass)" settled
admin GET "/_admin/machines/$machine" | python3 -c '
import json, sys
machine = json.load(sys.stdin)
command = next(c for c in machine["commands"] if c["id"] == sys.argv[1])
claim = command["claims"][0] if command["claims"] else {}
print("    panel: %s %s -> %s; claimed for boot %s, completed with boot %s" % (
    command["id"], command["kind"], command["status"], claim.get("bootId"), (command["completion"] or {}).get("bootId")))' \
  "$command_id"
[ "$(command_field)" = succeeded ] || fail "the restart did not succeed"
boot_after=$(on_mac 1 limactl shell tessaron cat /proc/sys/kernel/random/boot_id)
note "The guest's boot id now: $boot_after"
[ "$boot_after" != "$boot_before" ] || fail "the boot id did not change"
run_on 1 tessaron server status
note "Stopping the helper (SIGTERM, as launchd does):"
kill -TERM "$serve1_pid"
wait_exit "$serve1_pid" 30
show_log serve1 "$shown_lines"
note "tessaron serve ended with status $ended_status"

# ---------------------------------------------------------------------------------------
say "5. Second Mac: paired with a pairing code and edge URLs; a public request through the relay"
new_mac 2
mac_env 2
prompt 2 "tessaron onboard --transport legacy --control $panel --name Studio &"
start legacy "${mac[@]}" tessaron onboard --transport legacy --control "$panel" --name Studio
legacy_pid=$last_pid
pending() { [ "$(admin GET /_admin/pairing-codes/latest | json_get status)" = pending ]; }
wait_for 60 "the pairing code to reach the panel" pending
wait_for 10 "the pairing code line" log_has legacy "Waiting for approval"
show_log legacy
code=$(admin GET /_admin/pairing-codes/latest | json_get code)
note "The panel's user approves code $code with the relay as edge URL:"
printf '$ curl -X POST %s/_admin/pairing-codes/%s/approve -d %s\n' "$panel" "$code" \
  "'{\"edgeURLs\": [\"ws://127.0.0.1:$ws_port/tunnel\"]}'"
machine2=$(admin POST "/_admin/pairing-codes/$code/approve" "{\"edgeURLs\": [\"ws://127.0.0.1:$ws_port/tunnel\"]}" |
  json_get machineId)
note "machine: $machine2"
wait_exit "$legacy_pid" 90
show_log legacy "$shown_lines"
[ "$ended_status" = 0 ] || fail "tessaron onboard --transport legacy ended with status $ended_status"
note "Its saved configuration:"
sed 's/^/    /' "$demo/mac2/home/Library/Application Support/Tessaron/agent.json"
echo

site="$demo/mac2/lima/tessaron/guest/home/site"
mkdir -p "$site"
echo "Hello from the Linux guest of the Mac called Studio" >"$site/index.html"
note "A small web server in the guest, on its loopback port $web_port:"
prompt 2 "limactl shell --workdir ~/site tessaron -- python3 -m http.server $web_port --bind 127.0.0.1 &"
start web "${mac[@]}" limactl shell --workdir "$site" tessaron -- python3 -m http.server "$web_port" --bind 127.0.0.1
wait_for 30 "the guest's web server" curl -sf --max-time 2 "http://127.0.0.1:$web_port/"
prompt 2 "tessaron serve &"
start serve2 "${mac[@]}" tessaron serve
serve2_pid=$last_pid
wait_for 60 "the tunnel to the relay" log_has serve2 "Tunnel connected"
show_log serve2
note "The relay sees the helper:"
run curl -sS --max-time 10 "http://127.0.0.1:$admin_port/state"
echo
note "A public HTTP request to the relay, carried through the tunnel to the guest:"
run curl -sS -i --max-time 30 -H 'User-Agent: tessaron-demo' "http://127.0.0.1:$http_port/index.html"
note "The guest's web server logged:"
show_log web
note "Stopping the helper:"
kill -TERM "$serve2_pid"
wait_exit "$serve2_pid" 30
note "tessaron serve ended with status $ended_status"

# ---------------------------------------------------------------------------------------
say "6. The desktop window (TessaronDesktop) against the same stand-ins"
if [ ! -x "$bundle/Contents/MacOS/TessaronDesktop" ]; then
  note "This build has no desktop window (built with TESSARON_BUILD_GUI=OFF); skipped."
else
  # As on a Mac, the app runs from Applications: a copy of the bundle in each Mac's home. The
  # first Mac is paired and its server runs; a third, new Mac shows the first-run card.
  new_mac 3
  for n in 1 3; do
    mkdir -p "$demo/mac$n/home/Applications"
    cp -a "$bundle" "$demo/mac$n/home/Applications/"
  done
  open_window() {  # open_window N NAME: the app of Mac N, in the background, output to logs/NAME
    mac_env "$1"
    start "$2" "${mac[@]}" "$demo/mac$1/home/Applications/Tessaron.app/Contents/MacOS/TessaronDesktop"
  }
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    prompt 1 "open ~/Applications/Tessaron.app"
    open_window 1 window
    note "The window of the first Mac is open on your display; close it to finish the demo."
    wait_exit "$last_pid" 1800
  else
    screens=${TESSARON_SCREENS_DIR:-$build/desktop-screens}
    mkdir -p "$screens"
    note "No display here: the window is drawn on a virtual one (Xvfb) and photographed."
    start xvfb sh -c 'exec Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$0"' "$demo/xvfb-display"
    wait_for 20 "the virtual display" test -s "$demo/xvfb-display"
    export DISPLAY=":$(head -n 1 "$demo/xvfb-display")"
    for shot in "1 paired-mac-dashboard" "3 new-mac-welcome"; do
      read -r n name <<<"$shot"
      prompt "$n" "open ~/Applications/Tessaron.app"
      open_window "$n" "window$n"
      window_pid=$last_pid
      wait_for 30 "the window of Mac $n" xdotool search --onlyvisible --name '^Tessaron$'
      window=$(xdotool search --onlyvisible --name '^Tessaron$' | head -n 1)
      xdotool windowsize "$window" 640 1000  # tall enough for the whole card in one picture
      sleep 6  # the first refresh: the VM's state and `tessaron server status`
      import -window "$window" "$screens/$name.png"
      kill -TERM -- "-$window_pid" 2>/dev/null || true
      wait_exit "$window_pid" 30
      note "$screens/$name.png"
    done
    unset DISPLAY
    note "The pictures of the window are in $screens"
  fi
fi
