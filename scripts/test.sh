#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
# TESSARON_SANITIZE=1 runs it in the AddressSanitizer/UBSan build (what CI does).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build_dir="$root/build"
[ "${TESSARON_SANITIZE:-0}" = 1 ] && build_dir="$root/build-asan"

# The real guest's image (root only, cached per machine) is made while the tree builds, so
# that the guest test's time goes to the guest. Without it that test says why it did not run.
image_log=$(mktemp)
image_pid=
if [ "$(id -u)" -eq 0 ]; then
  "$root/scripts/build-guest-image.sh" >"$image_log" 2>&1 </dev/null &
  image_pid=$!
fi
"$root/scripts/build.sh" "$build_dir"
if [ -n "$image_pid" ]; then
  wait "$image_pid" || echo "The guest image could not be built (the real-guest test will say why):" >&2
  cat "$image_log" >&2
fi
rm -f "$image_log"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build_dir"
# The tests get no terminal: one that reached an interactive child (limactl, ssh in the
# real guest) would be taken over by it and stop the run. ctest ends with this script, each
# test with ctest and each guest with its test, so a run killed midway leaves nothing running.
unset TESSARON_STANDIN_WATCH_PID  # each test names itself
with_parent=()
command -v setpriv >/dev/null && with_parent=(setpriv --pdeathsig KILL)

# The tests' temporary folders go in one folder of this run's own, removed when the run ends
# (Ctrl-C and SIGTERM included), so a test killed midway leaves no folders behind either. It
# is open to all like /tmp: tests that drop privileges stage what the other user runs there.
run_tmp=$(mktemp -d "${TMPDIR:-/tmp}/tessaron-run.XXXXXX")
chmod 1777 "$run_tmp"
end_run() {
  # A signal ends this script while ctest still runs: end ctest first (its tests end with it,
  # the stand-ins' guests with their tests within a few seconds), then remove the folder.
  pkill -KILL -P $$ -x ctest 2>/dev/null || true
  for _ in $(seq 30); do
    rm -rf "$run_tmp" 2>/dev/null || true
    [ -e "$run_tmp" ] || break
    sleep 0.5
  done
}
trap end_run EXIT
TMPDIR=$run_tmp "${with_parent[@]}" ctest --output-on-failure -j "${TESSARON_TEST_JOBS:-$(nproc)}" "$@" </dev/null
