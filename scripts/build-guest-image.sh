#!/usr/bin/env bash
# Builds the real Linux guest's base image for the limactl stand-in, once per machine:
# a Debian bookworm root from Debian's packages (debootstrap), with Debian's cloud kernel
# and its initrd beside it. Each instance boots a copy-on-write overlay of it.
#
#   scripts/build-guest-image.sh            build unless the cache already holds the image
#   scripts/build-guest-image.sh --print    print the cache folder and exit
#
# The cache folder is $TESSARON_GUEST_CACHE, else /var/cache/tessaron-guest as root, else
# ${XDG_CACHE_HOME:-~/.cache}/tessaron-guest. It holds base.raw, vmlinuz, initrd.img and
# image.stamp (written last: an image without it is unfinished). Builds are serialised by
# an flock on build.lock, so parallel callers wait for one build and then share it.
# Needs root (debootstrap, chroot).
set -euo pipefail

version=4   # raise when the image's contents change: the cache is rebuilt
mirror=${TESSARON_DEBIAN_MIRROR:-http://deb.debian.org/debian}

if [ -n "${TESSARON_GUEST_CACHE:-}" ]; then cache=$TESSARON_GUEST_CACHE
elif [ "$(id -u)" -eq 0 ]; then cache=/var/cache/tessaron-guest
else cache=${XDG_CACHE_HOME:-$HOME/.cache}/tessaron-guest
fi
if [ "${1:-}" = --print ]; then echo "$cache"; exit 0; fi

stamp="$cache/image.stamp"
ready() { [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; }
ready && exit 0
[ "$(id -u)" -eq 0 ] || { echo "Building the guest image needs root (debootstrap)." >&2; exit 1; }
for tool in debootstrap mkfs.ext4 chroot; do
  command -v "$tool" >/dev/null || { echo "Building the guest image needs $tool." >&2; exit 1; }
done

mkdir -p "$cache"
exec 9>"$cache/build.lock"
flock 9
ready && exit 0   # another caller built it while we waited

started=$(date +%s)
work=$(mktemp -d "$cache/build.XXXXXX")
root="$work/root"
cleanup() {
  for point in proc sys dev; do umount -l "$root/$point" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

echo "Building the guest image in $cache (Debian bookworm, about 2 minutes)…"
debootstrap --variant=minbase --merged-usr \
  --include=systemd,systemd-sysv,udev,dbus,openssh-server,python3,wireguard-tools,iproute2,sudo,procps,kmod,e2fsprogs,initramfs-tools,linux-image-cloud-amd64 \
  bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 || {
  tail -n 30 "$work/debootstrap.log" >&2
  echo "debootstrap failed (log above)." >&2
  exit 1
}

# --- configuration ------------------------------------------------------------------
echo tessaron-guest >"$root/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 tessaron-guest\n' >"$root/etc/hosts"
printf '/dev/vda / ext4 rw,noatime,errors=remount-ro 0 1\n' >"$root/etc/fstab"
: >"$root/etc/machine-id"
rm -f "$root"/etc/ssh/ssh_host_*   # every instance makes its own at first boot

# First NIC: QEMU's restricted user network (DHCP). Second NIC, when present: the link
# to the WireGuard peer's namespace, with a fixed address (MAC 52:54:00:77:00:02).
mkdir -p "$root/etc/systemd/network"
cat >"$root/etc/systemd/network/10-peer-link.network" <<'EOF'
[Match]
MACAddress=52:54:00:77:00:02

[Network]
Address=10.99.0.2/24
EOF
cat >"$root/etc/systemd/network/20-user.network" <<'EOF'
[Match]
MACAddress=52:54:00:12:34:56

[Network]
DHCP=ipv4
EOF

# At every boot, before sshd: host keys, the account named on the kernel command line
# (tessaron.user=NAME tessaron.uid=N tessaron.key=TYPE:BLOB, the user's SSH key) with
# passwordless sudo, and the root file system grown to the disk's size.
cat >"$root/usr/local/sbin/tessaron-guest-setup" <<'EOF'
#!/bin/sh
set -eu
arg() { tr ' ' '\n' </proc/cmdline | sed -n "s/^tessaron\.$1=//p" | tail -n 1; }
user=$(arg user); uid=$(arg uid); key=$(arg key)
# One ed25519 host key: RSA key generation alone takes most of a minute under emulation.
[ -s /etc/ssh/ssh_host_ed25519_key ] || ssh-keygen -q -t ed25519 -N '' -f /etc/ssh/ssh_host_ed25519_key
resize2fs /dev/vda >/dev/null 2>&1 || true
[ -n "$user" ] || exit 0
if ! id "$user" >/dev/null 2>&1; then
  useradd --create-home --shell /bin/bash ${uid:+--uid "$uid"} "$user"
  usermod -p '*' "$user"   # no password, but not locked: sshd runs without PAM
fi
printf '%s ALL=(ALL) NOPASSWD:ALL\n' "$user" >/etc/sudoers.d/90-tessaron-user
chmod 0440 /etc/sudoers.d/90-tessaron-user
home=$(getent passwd "$user" | cut -d: -f6)
install -d -m 0700 -o "$user" -g "$user" "$home/.ssh"
if [ -n "$key" ] && ! [ -s "$home/.ssh/authorized_keys" ]; then
  echo "$key" | tr ':' ' ' >"$home/.ssh/authorized_keys"
  chown "$user:$user" "$home/.ssh/authorized_keys"; chmod 0600 "$home/.ssh/authorized_keys"
fi
EOF
chmod 0755 "$root/usr/local/sbin/tessaron-guest-setup"
cat >"$root/etc/systemd/system/tessaron-guest-setup.service" <<'EOF'
[Unit]
Description=Tessaron guest: account, SSH keys and disk size
Before=ssh.service
After=local-fs.target

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/tessaron-guest-setup
RemainAfterExit=yes

[Install]
WantedBy=multi-user.target
EOF
# Without PAM (no login session to register) each SSH command is quicker under emulation.
printf 'HostKey /etc/ssh/ssh_host_ed25519_key\nUseDNS no\nUsePAM no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n' \
  >"$root/etc/ssh/sshd_config.d/tessaron.conf"

chroot "$root" systemctl enable tessaron-guest-setup.service systemd-networkd.service ssh.service >/dev/null 2>&1
# Units a short-lived test guest has no use for, and that slow a booting emulated guest.
chroot "$root" systemctl mask apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer e2scrub_reap.service \
  systemd-timesyncd.service fstrim.timer man-db.timer systemd-networkd-wait-online.service \
  getty@tty1.service >/dev/null 2>&1 || true
chroot "$root" apt-get clean

kernel=$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n 1)
cp "$kernel" "$work/vmlinuz"
cp "$root/boot/initrd.img-${kernel##*/vmlinuz-}" "$work/initrd.img"
rm -rf "$root"/var/cache/apt/* "$root"/var/lib/apt/lists/* "$root"/usr/share/doc/* "$root"/usr/share/man/*

# --- image ----------------------------------------------------------------------------
mkfs.ext4 -q -F -L root -d "$root" "$work/base.raw" 2G
for file in base.raw vmlinuz initrd.img; do mv -f "$work/$file" "$cache/$file"; done
echo "$version" >"$stamp.new" && mv -f "$stamp.new" "$stamp"
echo "Guest image ready in $(( $(date +%s) - started )) s: $cache"
