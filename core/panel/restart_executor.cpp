#include "panel/restart_executor.h"

#include "panel/control_panel_client.h"

#include <cctype>

namespace tessaron {

bool RestartExecutor::isUUID(const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

std::optional<std::string> RestartExecutor::readBootID() const {
    try {
        return vm_->bootID();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void RestartExecutor::handle(const RestartCommand& command) const {
    if (command.kind == "stop" || command.kind == "start") {
        power(command);
        return;
    }
    restart(command);
}

void RestartExecutor::restart(const RestartCommand& command) const {
    if ((command.status != "queued" && command.status != "running") || !isUUID(command.bootId))
        throw LifecycleFailure(invalidRestartMessage);
    // The largest receipt the command will need is the "finished" one (boot IDs are all
    // UUIDs of one length). One that cannot be saved must be refused before the first
    // receipt: else the VM restarts and the outcome can never be recorded or reported.
    // The panel is told that it was not carried out, so it stops offering it.
    if (!receipt_file::fits(RestartReceipt{command.id, command.bootId, "finished", "succeeded", command.bootId})) {
        client_->complete(command, "failed", std::nullopt);
        throw LifecycleFailure(invalidRestartMessage);
    }

    std::optional<RestartReceipt> receipt = receipts_->load();
    if (receipt && receipt->commandID != command.id) receipt.reset();  // another command's
    if (receipt && receipt->beforeBootID != command.bootId) throw LifecycleFailure(receiptMismatchMessage);

    if (!receipt) {
        if (command.status != "queued") {
            // Already past "queued" and this Mac never prepared it: it did not act on it.
            client_->complete(command, "failed", std::nullopt);
            return;
        }
        const std::string current = vm_->bootID();
        if (current != command.bootId) throw LifecycleFailure(restartedBeforePrepareMessage);
        receipt = RestartReceipt{command.id, current, "prepared", std::nullopt, std::nullopt};
        receipts_->save(*receipt);
    }

    if (command.status == "queued" && receipt->phase == "prepared") {
        const std::string current = vm_->bootID();
        if (current != receipt->beforeBootID) throw LifecycleFailure(restartedBeforeClaimMessage);
        if (client_->claim(command, current)) {
            receipt->phase = "attempted";
            receipts_->save(*receipt);
            try {
                receipt->afterBootID = vm_->restart(current);
                receipt->outcome = "succeeded";
            } catch (const std::exception&) {
                receipt->outcome = "failed";
                receipt->afterBootID = readBootID();
            }
            receipt->phase = "finished";
            receipts_->save(*receipt);
        }
    }

    if (receipt->phase != "finished") finishFromReceipt(*receipt);

    client_->complete(command, receipt->outcome == "succeeded" ? "succeeded" : "failed", receipt->afterBootID);
}

void RestartExecutor::finishFromReceipt(RestartReceipt& receipt) const {
    const auto after = readBootID();
    receipt.outcome = after && *after != receipt.beforeBootID ? "succeeded" : "failed";
    receipt.afterBootID = after;
    receipt.phase = "finished";
    receipts_->save(receipt);
}

void RestartExecutor::power(const RestartCommand& command) const {
    if (command.status != "queued" && command.status != "running") throw LifecycleFailure(invalidPowerMessage);
    const bool stopping = command.kind == "stop";
    const std::string current = readBootID().value_or("");

    if (stopping && current.empty() && vm_->isStopped()) {
        // Already stopped: record the wish and report success, whatever the claim says.
        if (intent_) intent_->want("stopped");
        (void)client_->claim(command, "");
        client_->complete(command, "succeeded", std::nullopt);
        return;
    }
    // A guest that runs but does not tell its boot ID (one that hangs) cannot be compared
    // with the request; a stop goes ahead all the same, as stopping it is what was asked.
    const bool bootUnknown = stopping && current.empty();
    if (!command.bootId.empty() && command.bootId != current && !bootUnknown)
        throw LifecycleFailure(powerChangedMessage);
    if (command.status != "queued" || !client_->claim(command, current)) {
        reconcile(command);
        return;
    }

    if (intent_) intent_->want(stopping ? "stopped" : "running");
    try {
        if (stopping) {
            vm_->stop();
            client_->complete(command, "succeeded", std::nullopt);
        } else {
            vm_->start();
            const std::string booted = vm_->bootID();
            client_->complete(command, "succeeded", booted);
        }
    } catch (const std::exception&) {
        client_->complete(command, "failed", stopping ? std::nullopt : readBootID());
    }
}

void RestartExecutor::reconcile(const RestartCommand& command) const {
    const std::string current = readBootID().value_or("");
    const bool done = command.kind == "stop" ? current.empty() && vm_->isStopped() : !current.empty();
    client_->complete(command, done ? "succeeded" : "failed",
                      current.empty() ? std::nullopt : std::optional<std::string>(current));
}

}  // namespace tessaron
