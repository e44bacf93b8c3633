#!/usr/bin/env bash
# The main job: runs Tessaron against the stand-ins in a private temporary home and
# says what it does as it goes. Usage: scripts/demo.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bundle="$build/Tessaron.app"
limactl="$bundle/Contents/Resources/lima/bin/limactl"
standins="$build/standins/bin"

demo_home=$(mktemp -d /tmp/tessaron-demo.XXXXXX)
export HOME="$demo_home/home" LIMA_HOME="$demo_home/lima"
mkdir -p "$HOME" "$LIMA_HOME"
children=()
cleanup() {
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$limactl" delete -f tessaron >/dev/null 2>&1 || true
  rm -rf "$demo_home"
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }

say "A private home for this run: $HOME (the VM lives in $LIMA_HOME)"
say "The bundle, laid out as on a Mac"
find "$bundle" -maxdepth 5 -type f -perm -u+x | sed "s|$build/||" | sort

say "Creating and starting the one Linux VM through the stand-in limactl"
run "$limactl" start --yes --name=tessaron --cpus=2 --memory=4 --disk=20
run "$limactl" list --format '{{.Name}} {{.Status}} cpus={{.CPUs}} memory={{.Memory}} ssh=127.0.0.1:{{.SSHLocalPort}}' tessaron

say "Running a command in the guest: its boot identity"
run "$limactl" shell tessaron cat /proc/sys/kernel/random/boot_id

say "Resizing the VM: stop, edit, start"
run "$limactl" stop tessaron
run "$limactl" edit --yes --cpus 4 --memory 6 tessaron
run "$limactl" start tessaron
run "$limactl" list --format '{{.Name}} {{.Status}} cpus={{.CPUs}} memory={{.Memory}}' tessaron

say "Stopping and deleting the VM"
run "$limactl" stop tessaron
run "$limactl" delete tessaron
say "Done; the temporary home is removed on exit."
