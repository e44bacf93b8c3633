#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
# TESSARON_SANITIZE=1 runs it in the AddressSanitizer/UBSan build (what CI does).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build_dir="$root/build"
[ "${TESSARON_SANITIZE:-0}" = 1 ] && build_dir="$root/build-asan"
"$root/scripts/build.sh" "$build_dir"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build_dir"
ctest --output-on-failure -j "${TESSARON_TEST_JOBS:-$(nproc)}" "$@"
