#!/usr/bin/env bash
# Builds (release) and runs the edge tunnel benchmark on loopback, this tree beside a
# baseline commit in the same run (see bench/edge/edge_bench.cpp for what it measures).
# Prints a table on standard output (progress on standard error).
#
#   bench/run-edge-bench.sh [--install] [options of tessaron-edge-bench: --runs N --mb N
#                           --seconds N --streams N --reconnects N --no-instructions]
#
# BASELINE names the commit to compare with (default: the first commit of the current
# tunnel code, 301fd9b; BASELINE=none runs this tree alone). BUILD_DIR chooses the build
# folder (default build-bench-release); the baseline is exported and built below it.
# --install first installs the load generator and the counters the benchmark uses (Debian
# packages; needs root).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench-release}"
baseline="${BASELINE:-301fd9b}"
jobs="${JOBS:-3}"

if [[ "${1:-}" == "--install" ]]; then
  shift
  apt-get install -y --no-install-recommends wrk socat valgrind linux-perf >/dev/null
fi

configure_and_build() {  # source folder, build folder
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARON_BUILD_GUI=OFF \
    -DTESSARON_BUILD_TESTS=OFF >/dev/null
  ninja -C "$2" -j"$jobs" tessaron_edge_bench tessaron_standin_edge >/dev/null
}

configure_and_build "$root" "$build"
variants=()
if [[ "$baseline" != "none" ]]; then
  src="$build/baseline-src"
  if [[ "$(cat "$src/.commit" 2>/dev/null)" != "$baseline" ]]; then
    # A fresh build too: the exported files carry the commit's time, which may be older than
    # the objects of the previous baseline, so an incremental build could keep those.
    rm -rf "$src" "$build/baseline" && mkdir -p "$src"
    git -C "$root" archive "$baseline" | tar -x -C "$src"
    echo "$baseline" > "$src/.commit"
  fi
  configure_and_build "$src" "$build/baseline"
  variants+=(--variant "before ($baseline):$build/baseline/bench/edge/tessaron-edge-bench:$build/baseline/standins/bin/tessaron-edge")
fi
variants+=(--variant "after:$build/bench/edge/tessaron-edge-bench:$build/standins/bin/tessaron-edge")

exec "$build/bench/edge/tessaron-edge-bench" "${variants[@]}" "$@"
