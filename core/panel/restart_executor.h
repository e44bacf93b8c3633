#pragma once
// Carries out one command of the panel's queue on the VM: a restart, a stop or a start.
//
// A restart runs at most once per command, also across a crash of the helper or a lost
// answer: a receipt is saved before every step that changes anything ("prepared", then
// "attempted" just before the VM is restarted, then "finished" with the outcome), the
// panel is asked (claim) before acting, and a restart counts as done when the guest's
// boot ID changed. A command that an earlier run left half-done is finished from its
// receipt instead of being acted on again. Stop and start record the power wish, claim,
// act and report; a stop counts as done only when the VM manager lists the VM stopped.
//
// The caller holds the VM resource lock exclusively around handle(); the executor takes
// no lock and keeps nothing between calls.

#include "panel/command_polling.h"
#include "panel/receipt_store.h"
#include "panel/vm_protocols.h"

namespace tessaron {

class RestartExecutor {
public:
    // The collaborators must outlive the executor; `intent` may be null, in which case
    // power commands record no wish.
    RestartExecutor(RestartCommandClient& client, RestartReceiptStore& receipts, RestartVirtualMachine& vm,
                    VMPowerIntentStore* intent)
        : client_(&client), receipts_(&receipts), vm_(&vm), intent_(intent) {}

    RestartCommandClient& client() const { return *client_; }
    RestartReceiptStore& receipts() const { return *receipts_; }
    RestartVirtualMachine& vm() const { return *vm_; }
    VMPowerIntentStore* intent() const { return intent_; }

    // Carries out or finishes `command`. Returns once its completion was reported to the
    // panel (also a "failed" one). Throws LifecycleFailure when the command is refused (a
    // restart whose receipts could not all be saved is first reported "failed");
    // errors of the receipt store, of a required boot-ID read, and of the claim and the
    // completion pass unchanged, and the receipt keeps its last phase for the next offer.
    void handle(const RestartCommand& command) const;

    static constexpr const char* invalidRestartMessage = "Invalid restart command. The server was not changed.";
    static constexpr const char* receiptMismatchMessage = "Restart receipt does not match the command.";
    static constexpr const char* restartedBeforePrepareMessage =
        "This server already restarted since the request. Wait for the old request to expire.";
    static constexpr const char* restartedBeforeClaimMessage = "This server already restarted since the request.";
    static constexpr const char* invalidPowerMessage = "Invalid server command. The server was not changed.";
    static constexpr const char* powerChangedMessage = "This server has changed since the request. No action was taken.";

    // Whether `text` is a UUID in its standard form (8-4-4-4-12 hexadecimal digits).
    static bool isUUID(const std::string& text);

private:
    void restart(const RestartCommand& command) const;
    void power(const RestartCommand& command) const;
    void reconcile(const RestartCommand& command) const;
    void finishFromReceipt(RestartReceipt& receipt) const;
    std::optional<std::string> readBootID() const;

    RestartCommandClient* client_;
    RestartReceiptStore* receipts_;
    RestartVirtualMachine* vm_;
    VMPowerIntentStore* intent_;
};

}  // namespace tessaron
