#pragma once
// `limactl _standin-guest-shims NAME [--account A] [--uid U]` (the stand-in's own, not a
// Lima command): fills the instance's guest/bin, first on the guest's PATH, with the
// commands the guest's WireGuard and account scripts need, so that they run unchanged
// on this machine:
//   python3    the real one, with WireGuard files kept in <instance>/guest/wireguard
//              instead of /etc/wireguard, and the guest's ordinary account (A, uid U,
//              home <instance>/guest/home) known to the account database
//   id         `id -un` names that account
//   wg         key commands are the real /usr/bin/wg; `show` reads handshake.txt
//   wg-quick, ip, systemctl   record their calls; the interface is "up" between
//              `wg-quick up` and `wg-quick down` (the file `up`)
// Every shim call is appended to calls.log in guest/bin. Running it again rewrites the
// shims and the account but keeps their state (up, handshake.txt, calls.log).

#include <string>
#include <vector>

namespace tessaron::standin::limactl {

inline constexpr const char* guestShimsCommand = "_standin-guest-shims";

int runGuestShims(const std::vector<std::string>& arguments);

}  // namespace tessaron::standin::limactl
