#!/usr/bin/env bash
# Draws the desktop window in each of its states (welcome steps, onboarding form, setup card at
# each stage, dashboard running / stopped / paused / connecting / unreadable, confirmations,
# resource sheet loading / failing / applying, every banner, the activity log) into PNG files
# named after the state, and the window at its default and smallest sizes, without a display.
# Usage: scripts/desktop-screenshots.sh [DIR] [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-${TMPDIR:-/tmp}/tessaron-desktop-screens}
build=${2:-$root/build}
tool="$build/desktop/app/tessaron-desktop-screens"
[ -x "$tool" ] || { echo "desktop-screenshots: $tool is missing; build first (scripts/build.sh $build)" >&2; exit 1; }
mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$tool" "$out"
echo "The pictures are in $(cd "$out" && pwd)"
