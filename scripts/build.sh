#!/usr/bin/env bash
# Configures and builds Tessaron. Usage: scripts/build.sh [build-dir [target…]]
# Without targets everything is built (tests and benchmarks too).
# TESSARON_SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitize=${TESSARON_SANITIZE:-0}
default_dir="$root/build"
[ "$sanitize" = 1 ] && default_dir="$root/build-asan"
build_dir=${1:-$default_dir}
[ $# -gt 0 ] && shift
build_type=${TESSARON_BUILD_TYPE:-RelWithDebInfo}
cmake -S "$root" -B "$build_dir" -G Ninja \
  -DCMAKE_BUILD_TYPE="$build_type" \
  -DTESSARON_SANITIZE=$([ "$sanitize" = 1 ] && echo ON || echo OFF) >/dev/null
targets=()
[ $# -gt 0 ] && targets=(--target "$@")
cmake --build "$build_dir" -j "${TESSARON_JOBS:-$(nproc)}" "${targets[@]}"
