#pragma once
// Carries out one resource-change command of the panel: at most once per receipt, only
// while the VM still equals the observation the request was based on, and after a
// crash or a lost answer by resuming from the saved receipt without changing the VM
// again. Every step that matters is recorded before it is taken; the panel is asked
// before anything changes and is always told the outcome at the end.
//
// The caller holds the VM resource lock exclusively around handle(); the executor
// takes no lock and keeps nothing between calls (all progress is in the receipt).

#include "panel/resource_commands.h"
#include "panel/vm_protocols.h"

namespace tessaron {

class ResourceExecutor {
public:
    // The three collaborators must outlive the executor.
    ResourceExecutor(ResourceCommandClient& client, ResourceReceiptStore& receipts, ResourceVirtualMachine& vm)
        : client_(&client), receipts_(&receipts), vm_(&vm) {}

    ResourceCommandClient& client() const { return *client_; }
    ResourceReceiptStore& receipts() const { return *receipts_; }
    ResourceVirtualMachine& vm() const { return *vm_; }

    // Runs `command` as far as it can go and returns once the panel has accepted the
    // completion report. Throws LifecycleFailure for a refused command, a receipt that
    // disagrees with it, a VM that changed before the claim, or a completion without any
    // observation; errors of the store, the VM and the panel pass through unchanged and
    // leave the receipt as last saved, for the next call to resume from.
    void handle(const ResourceCommand& command) const;

    static constexpr const char* invalidCommandMessage = "Invalid resource command. The VM was not changed.";
    static constexpr const char* receiptMismatchMessage = "Resource receipt does not match the request.";
    static constexpr const char* changedBeforePrepareMessage =
        "The VM changed since the request. Wait for this request to expire.";
    static constexpr const char* changedBeforeClaimMessage = "The VM changed since the request.";
    static constexpr const char* unconfirmedMessage =
        "Resource completion is unconfirmed. Check the existing VM; it was not recreated.";

private:
    ResourceCommandClient* client_;
    ResourceReceiptStore* receipts_;
    ResourceVirtualMachine* vm_;
};

}  // namespace tessaron
