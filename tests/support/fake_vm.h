#pragma once
// An in-memory VM for executor tests: it runs in a boot (a UUID) or is stopped, records
// every call, and can be told to fail each operation.

#include "panel/vm_protocols.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tessaron::testing {

class FakeVM : public RestartVirtualMachine {
public:
    // Running in `boot`, or stopped when nothing is given.
    explicit FakeVM(std::optional<std::string> boot = std::nullopt) : boot_(std::move(boot)) {}

    // The boot the guest runs in, or nothing when stopped.
    const std::optional<std::string>& boot() const { return boot_; }
    void setBoot(std::optional<std::string> boot) { boot_ = std::move(boot); }

    // Every call, in order: "bootID", "isStopped", "restart <expected>", "stop", "start".
    const std::vector<std::string>& calls() const { return calls_; }
    // The calls other than the queries "bootID" and "isStopped": what changed or tried
    // to change the VM.
    std::vector<std::string> actions() const;
    void clearCalls() { calls_.clear(); }

    // Failure injection.
    bool failBootID = false;       // bootID() throws even while running
    bool failListing = false;      // isStopped() throws
    bool failRestart = false;      // restart() throws without touching the VM
    bool restartThenFail = false;  // restart() reboots the guest, then throws
    bool failStop = false;         // stop() throws; the VM keeps running
    bool failStart = false;        // start() throws; the VM stays stopped
    bool startThenFail = false;    // start() boots the guest, then throws
    // Runs at the start of restart(), stop() and start(), e.g. to look at a receipt.
    std::function<void(const std::string& call)> onAction;

    std::string bootID() override;
    std::string restart(const std::string& expectedBootID) override;
    void stop() override;
    void start() override;
    bool isStopped() override;  // stopped exactly when there is no boot

    // A fresh boot ID, different on every call.
    static std::string newBootID();

private:
    std::optional<std::string> boot_;
    std::vector<std::string> calls_;
};

}  // namespace tessaron::testing
