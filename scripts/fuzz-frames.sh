#!/usr/bin/env bash
# Fuzzes the decoder of received tunnel frames (and the Base64 codec) with libFuzzer.
# Built with clang outside the CMake build, so the g++ build is not affected.
#
#   scripts/fuzz-frames.sh [seconds]        (default 60; FUZZ_OUT sets the work folder)
#
# The seed corpus in tests/fuzz/corpus/tunnel_frames is copied into the work folder,
# which also receives what the run finds; a crash leaves its input there as crash-*.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
out="${FUZZ_OUT:-$root/build-fuzz}"
cxx="${CLANGXX:-clang++}"

command -v "$cxx" >/dev/null || { echo "fuzz-frames: $cxx is missing (scripts/install-deps.sh installs clang)" >&2; exit 2; }
mkdir -p "$out/corpus"
cp -n "$root"/tests/fuzz/corpus/tunnel_frames/* "$out/corpus/" 2>/dev/null || true

"$cxx" -std=c++20 -g -O1 -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I "$root/core" \
  "$root/tests/fuzz/tunnel_frames_fuzzer.cpp" \
  "$root/core/panel/tunnel_messages.cpp" "$root/core/host/base64.cpp" "$root/core/host/json.cpp" "$root/core/host/error.cpp" \
  -o "$out/tunnel_frames_fuzzer"

cd "$out"
echo "fuzz-frames: running for ${seconds} s in $out"
./tunnel_frames_fuzzer -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 corpus
