#!/usr/bin/env bash
# Start-up cost of the `tessaron` program, which the desktop application and the menu
# bar run every few seconds: wall time and peak memory of `tessaron connection-status`
# (unpaired, and paired with a running stand-in VM) and `tessaron help`, against
# /bin/true, in one run. Usage: bench/run-startup-bench.sh [build-dir] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-release}" 2>/dev/null && pwd || true)
runs=${2:-200}
if [ -z "$build" ] || [ ! -x "$build/Tessaron.app/Contents/MacOS/tessaron" ]; then
  build="$root/build-release"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARON_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target tessaron tessaron_standin_limactl tessaron_standin_ps >/dev/null
fi
tessaron="$build/Tessaron.app/Contents/MacOS/tessaron"
limactl="$build/Tessaron.app/Contents/Resources/lima/bin/limactl"

work=$(mktemp -d /tmp/tessaron-startup.XXXXXX)
trap '"$limactl" delete -f tessaron >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export HOME="$work/home" LIMA_HOME="$work/lima" TESSARON_PS_PATH="$build/standins/bin/ps"
mkdir -p "$HOME" "$LIMA_HOME"
"$limactl" start --yes --name=tessaron >/dev/null 2>&1

python3 - "$runs" "$tessaron" "$HOME" <<'PY'
import json, os, statistics, subprocess, sys, time
runs, tessaron, home = int(sys.argv[1]), sys.argv[2], sys.argv[3]

def measure(argv):
    walls, peaks = [], []
    for _ in range(runs):
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
                                           (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)])
        _, status, usage = os.wait4(pid, 0)
        walls.append((time.perf_counter() - start) * 1000)
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"{' '.join(argv)} failed")
    # Peak memory through GNU time: its own small fork runs the program, so the figure
    # is the program's and not this interpreter's (which a direct child would inherit).
    for _ in range(10):
        out = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", "/dev/stderr", *argv],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
        peaks.append(int(out.stderr.strip().splitlines()[-1]) / 1024)  # KiB -> MiB
    walls.sort()
    return statistics.mean(walls), walls[len(walls) // 2], walls[int(len(walls) * 0.95)], max(peaks)

rows = [("/bin/true", ["/bin/true"]),
        ("tessaron help", [tessaron, "help"]),
        ("tessaron connection-status (unpaired)", [tessaron, "connection-status"])]
results = [(name,) + measure(argv) for name, argv in rows]

support = os.path.join(home, "Library", "Application Support", "Tessaron")
os.makedirs(support, mode=0o700, exist_ok=True)
with open(os.path.join(support, "agent.json"), "w") as f:
    json.dump({"machineID": "bench", "controlURL": "https://panel.tessaron.invalid", "edgeURLs": [],
               "localHost": "127.0.0.1", "vmName": "tessaron"}, f)
results.append(("tessaron connection-status (paired, VM running)",)
               + measure([tessaron, "connection-status"]))

print(f"{runs} runs each")
print(f"{'command':<50} {'mean ms':>8} {'p50 ms':>8} {'p95 ms':>8} {'peak RSS MiB':>13}")
for name, mean, p50, p95, peak in results:
    print(f"{name:<50} {mean:8.2f} {p50:8.2f} {p95:8.2f} {peak:13.1f}")
PY
