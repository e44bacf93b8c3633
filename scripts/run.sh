#!/usr/bin/env bash
# Installs what is missing, builds what the demo runs, and runs Tessaron against the
# stand-ins (scripts/demo.sh). The tests and benchmarks are not built here
# (scripts/test.sh builds and runs them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
# The program with its bundle and stand-in limactl, the other stand-ins, the desktop window and
# the menu-bar companion, and the tool that draws the window's states
# (scripts/desktop-screenshots.sh, which the README runs next).
demo_targets=(tessaron tessaron_standin_limactl tessaron_standin_panel tessaron_standin_edge
  tessaron_standin_ps tessaron_standin_launchctl tessaron_standin_sudo tessaron_standin_wgpeer
  TessaronDesktop TessaronMenuBar tessaron-desktop-screens)
echo "run: building the programs and their stand-ins into build/ (a first build takes roughly"
echo "run: 5 minutes on 8 free cores, longer on a busy machine; later runs rebuild only what changed)"
started=$SECONDS
"$root/scripts/build.sh" "$root/build" "${demo_targets[@]}"
echo "run: built in $((SECONDS - started)) s"
exec "$root/scripts/demo.sh" "$root/build"
