# Shared by scripts/demo.sh and scripts/mac-shell.sh (sourced, not run): the build's
# programs by name, the stand-ins of the Mac's platform, a private folder, background
# processes that are all stopped at the end, and the loopback panel and relay.
# Before sourcing, set `build` (the build folder) and `tool` (the name in messages).

bundle="$build/Tessaron.app"
standins="$build/standins/bin"
for program in "$bundle/Contents/MacOS/tessaron" "$bundle/Contents/Resources/lima/bin/limactl" \
  "$standins/tessaron-panel" "$standins/tessaron-edge" "$standins/ps" "$standins/launchctl" "$standins/sudo"; do
  [ -x "$program" ] || { echo "$tool: $program is missing; build first (scripts/build.sh $build)" >&2; exit 1; }
done
for needed in curl python3; do
  command -v "$needed" >/dev/null || { echo "$tool: $needed is needed (scripts/install-deps.sh)" >&2; exit 1; }
done

# tessaron and limactl by name, as on a Mac.
export PATH="$bundle/Contents/MacOS:$bundle/Contents/Resources/lima/bin:$PATH"
demo=$(mktemp -d "${TMPDIR:-/tmp}/tessaron-$tool.XXXXXX")
mkdir -p "$demo/logs"

# The stand-ins of the Mac's platform: process list and launchd tools, and the hardware
# query (this machine is presented as an Apple M3 Mac with 8 CPUs and 16 GiB).
export TESSARON_PS_PATH="$standins/ps" TESSARON_LAUNCHCTL_PATH="$standins/launchctl" \
  TESSARON_SUDO_PATH="$standins/sudo" TESSARON_LAUNCH_DAEMONS_DIR="$demo/LaunchDaemons"
export TESSARON_STANDIN_HARDWARE='{"architecture":"arm64","chipName":"Apple M3","modelIdentifier":"Mac15,3","logicalCPUCount":8,"memoryBytes":17179869184,"operatingSystemMajorVersion":14}'
unset TESSARON_CREDENTIAL_PATH TESSARON_CONFIG_PATH
mkdir -p "$TESSARON_LAUNCH_DAEMONS_DIR"

# ---------------------------------------------------------------------------------------
# Every background process is started in its own process group (setsid), so that the
# whole group goes, whatever it started; the VMs are deleted (which takes their host
# agents and SSH servers down), then the folder.
children=()
lima_homes=()
stop_everything() {
  local pid
  for pid in "${children[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  for _ in $(seq 50); do
    local alive=0
    for pid in "${children[@]}"; do kill -0 -- "-$pid" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  for pid in "${children[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
  local home
  for home in "${lima_homes[@]}"; do LIMA_HOME="$home" limactl delete -f tessaron >/dev/null 2>&1 || true; done
  rm -rf "$demo"
}

fail() { echo "$tool: $*" >&2; exit 1; }

# start NAME COMMAND…: in the background, in its own process group, output to logs/NAME.
start() {
  local name=$1
  shift
  setsid "$@" >"$demo/logs/$name" 2>&1 </dev/null &
  children+=("$!")
  last_pid=$!
}

# wait_for SECONDS WHAT COMMAND…: polls the command every 0.2 s until it succeeds.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || fail "gave up after ${seconds} s waiting for $what"
    sleep 0.2
  done
}
log_has() { grep -q -- "$2" "$demo/logs/$1"; }

# JSON field of standard input: json_get key [key…] (array indexes as numbers).
json_get() {
  python3 -c '
import json, sys
value = json.load(sys.stdin)
for key in sys.argv[1:]:
    value = value[int(key)] if isinstance(value, list) else value[key]
print(value if isinstance(value, str) else json.dumps(value))' "$@"
}

# The panel's administrative API, as the panel's user acts through its web pages.
admin() {
  local method=$1 path=$2 body=${3:-}
  if [ -n "$body" ]; then
    curl -sS --fail-with-body --max-time 10 -X "$method" -H 'Content-Type: application/json' --data "$body" "$panel$path"
  else
    curl -sS --fail-with-body --max-time 10 -X "$method" "$panel$path"
  fi
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The loopback control panel: sets `panel` (its base URL).
start_panel() {
  start panel "$standins/tessaron-panel" --port 0
  wait_for 10 "the panel" log_has panel "listening on"
  panel=$(sed -n 's/^tessaron-panel listening on //p' "$demo/logs/panel" | head -n 1)
}

# The loopback edge relay, sending public HTTP to port $web_port of the connected Mac:
# sets `ws_port` (tunnels), `http_port` (public HTTP) and `admin_port`.
start_relay() {
  start edge "$standins/tessaron-edge" --http-target "$web_port"
  wait_for 10 "the relay" log_has edge "^tessaron-edge ws="
  local line
  line=$(head -n 1 "$demo/logs/edge")
  ws_port=$(sed -E 's/.* ws=([0-9]+).*/\1/' <<<"$line")
  http_port=$(sed -E 's/.* http=([0-9]+).*/\1/' <<<"$line")
  admin_port=$(sed -E 's/.* admin=([0-9]+).*/\1/' <<<"$line")
}
