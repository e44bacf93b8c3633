#!/usr/bin/env bash
# A picture of the menu-bar companion for people: a virtual X display (Xvfb) with a tray
# host (trayer) in its top-right corner, the companion's icon in it, and its menu opened by
# a click. The companion reads the real `tessaron` of the build, paired with the loopback
# panel, with a running stand-in VM, all in a private temporary HOME and LIMA_HOME.
#
#   scripts/menubar-picture.sh [BUILD_DIR] [OUT_DIR]     (defaults: build, /work/screens/menubar)
#
# Saves OUT_DIR/menubar-icon.png (the icon in the tray, with its tooltip) and OUT_DIR/menubar-menu.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-/work/screens/menubar}
bundle="$build/Tessaron.app"
companion="$bundle/Contents/Library/LoginItems/TessaronMenuBar.app/Contents/MacOS/TessaronMenuBar"
limactl="$bundle/Contents/Resources/lima/bin/limactl"
for program in "$companion" "$limactl" "$build/standins/bin/tessaron-panel"; do
  [ -x "$program" ] || { echo "missing $program: build first" >&2; exit 1; }
done
for tool in Xvfb trayer xdotool import curl python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  LIMA_HOME="$work/lima" "$limactl" delete -f tessaron >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

wait_for() {  # seconds, description, command…
  local deadline=$((SECONDS + $1)) what=$2
  shift 2
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || { echo "timed out waiting for $what" >&2; exit 1; }
    sleep 0.2
  done
}

export HOME="$work/home" LIMA_HOME="$work/lima" TESSARON_PS_PATH="$build/standins/bin/ps"
unset TESSARON_CONFIG_PATH TESSARON_CREDENTIAL_PATH
support="$HOME/Library/Application Support/Tessaron"
mkdir -p "$support" "$LIMA_HOME" "$out"
chmod 700 "$support"

# The panel and a Mac paired with it, whose Linux server runs.
"$build/standins/bin/tessaron-panel" --port 0 >"$work/panel.log" 2>&1 &
pids+=($!)
wait_for 10 "the panel" grep -q "listening on" "$work/panel.log"
panel=$(sed -n 's/^tessaron-panel listening on //p' "$work/panel.log" | head -n 1)
machine=$(curl -sS --fail --max-time 10 -X POST -H 'Content-Type: application/json' \
  --data '{"name": "Studio", "vmState": "Running", "bootId": "boot-1"}' "$panel/_admin/machines")
python3 - "$support" "$panel" "$machine" <<'PY'
import json, os, sys
support, panel, machine = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
def private(name, text):
    fd = os.open(os.path.join(support, name), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(text)
private("agent.json", json.dumps({"machineID": machine["machineId"], "controlURL": panel, "edgeURLs": [],
                                  "localHost": "127.0.0.1", "vmName": "tessaron", "transport": "wireguard"}))
private("headless-token", machine["deviceToken"])
PY
"$limactl" start --yes --name=tessaron --arch=aarch64 --vm-type=vz --network=vzNAT --rosetta=false \
  --containerd=none --mount-none --cpus=2 --memory=4 --disk=20 >"$work/limactl.log" 2>&1

# The display, the tray host and the companion.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 800x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
wait_for 10 "the display" test -s "$work/display"
export DISPLAY=":$(head -n 1 "$work/display")"
trayer --edge top --align right --widthtype request --height 32 --iconspacing 6 --padding 6 \
  --transparent false --tint 0xececec --SetDockType true >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for 10 "the tray" xdotool search --class trayer >/dev/null
"$companion" >"$work/companion.log" 2>&1 &
pids+=($!)
# trayer's panel (its other window is a small, unmapped one) holds the companion's icon.
icon_window() {
  local window
  for window in $(xdotool search --onlyvisible --class trayer 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$window")"
    if [ "$WIDTH" -ge 16 ] && [ "$HEIGHT" -ge 16 ]; then return 0; fi
  done
  return 1
}
wait_for 20 "the tray's panel" icon_window
# Then the first read (a real `tessaron server status`) comes back.
sleep 5
icon_window
# Resting on the icon shows its tooltip; a click opens the menu.
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
sleep 2
import -window root -crop 480x100+320+0 "$out/menubar-icon.png"
xdotool click 1
sleep 1.5
import -window root "$out/menubar-menu.png"
echo "saved $out/menubar-icon.png and $out/menubar-menu.png"
