#!/usr/bin/env bash
# Builds (release) and runs the edge tunnel benchmark on loopback: one TCP stream's
# throughput through relay + helper against direct and socat, HTTP load at 1/16/64
# connections against direct, and the helper's memory with many streams and after many
# reconnects. Prints a table on standard output (progress on standard error).
#
#   bench/run-edge-bench.sh [options of tessaron-edge-bench: --mb N --seconds N
#                            --streams N --reconnects N]
# BUILD_DIR chooses the build folder (default build-bench-release).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench-release}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARON_BUILD_GUI=OFF \
  -DTESSARON_BUILD_TESTS=OFF >/dev/null
ninja -C "$build" -j"${JOBS:-3}" tessaron_edge_bench tessaron_standin_edge >/dev/null

exec "$build/bench/edge/tessaron-edge-bench" --relay "$build/standins/bin/tessaron-edge" "$@"
