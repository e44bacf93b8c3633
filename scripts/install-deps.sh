#!/usr/bin/env bash
# Installs the Debian 12 packages that Tessaron needs to build, test and run its
# stand-ins, skipping those already present, and makes sure `localhost` resolves. Needs
# root (or sudo).
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev
  nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libboost1.81-dev libcpp-httplib-dev
  qt6-base-dev
  python3 openssh-server openssh-client wireguard-tools iproute2 procps
  clang libclang-rt-14-dev
  curl socat time
  fonts-materialdesignicons-webfont
  qemu-system-x86 qemu-utils debootstrap wireguard-go
  xvfb xauth imagemagick trayer xdotool
  fonts-inter
)

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

# A fresh root (debootstrap, a container) may have no /etc/hosts, and then `localhost`, which
# the tests' and the demo's certificates and URLs name, does not resolve. Debian's installer
# writes these lines.
if ! getent hosts localhost >/dev/null; then
  echo "Adding localhost to /etc/hosts (it did not resolve)"
  printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' | "${as_root[@]}" tee -a /etc/hosts >/dev/null
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
