#!/usr/bin/env bash
# Installs what is missing, builds, and runs Tessaron against the stand-ins.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
exec "$root/scripts/demo.sh" "$root/build"
