#pragma once
// Fills a stand-in guest's bin folder (first on the guest's PATH) with the commands the
// guest scripts use, through `limactl _standin-guest-shims` (standins/limactl/README.md),
// so that they run unchanged on this machine:
//   python3    the real one, with WireGuard files kept in the guest folder instead of
//              /etc/wireguard, and the guest's ordinary account known to the account
//              database (this machine has no such user)
//   id         `id -un` names that account
//   wg         key commands are the real ones; `show` reads handshake.txt
//   wg-quick, ip, systemctl   record their calls; the interface is "up" between
//              `wg-quick up` and `wg-quick down`
// Every shim call is appended to calls.log in that folder.

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace tessaron::testing {

class WireGuardGuestShims {
public:
    // `bin` is <instance>/guest/bin of an existing instance; the account's home is
    // <instance>/guest/home.
    explicit WireGuardGuestShims(std::filesystem::path bin, std::string account = "tessa", uid_t uid = 4242);

    const std::filesystem::path& bin() const { return bin_; }
    std::filesystem::path wireguardDir() const { return bin_.parent_path() / "wireguard"; }
    std::filesystem::path home() const { return bin_.parent_path() / "home"; }
    const std::string& account() const { return account_; }
    uid_t uid() const { return uid_; }

    // The relay's latest handshake in seconds since 1970, or none (0).
    void setHandshake(std::optional<long> secondsSince1970) const;
    bool interfaceUp() const;
    std::string calls() const;

private:
    std::filesystem::path bin_;
    std::string account_;
    uid_t uid_;
};

}  // namespace tessaron::testing
