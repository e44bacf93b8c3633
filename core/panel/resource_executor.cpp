#include "panel/resource_executor.h"

#include "panel/control_panel_client.h"

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {
namespace {

constexpr std::int64_t maximumCPU = 1'024;
constexpr std::int64_t minimumMemoryMiB = 2'048;
constexpr std::int64_t maximumMemoryMiB = 16'777'216;  // 16 TiB
constexpr std::int64_t memoryStepMiB = 256;
constexpr std::size_t maximumIdLength = 100;

const std::string prepared = "prepared";
const std::string attempted = "attempted";
const std::string finished = "finished";

// Characters as the panel counts them: Unicode code points of the UTF-8 text.
std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    for (unsigned char byte : text)
        if ((byte & 0xC0) != 0x80) ++count;
    return count;
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The canonical 8-4-4-4-12 form, hexadecimal digits of either case.
bool isUUID(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !isHexDigit(text[i])) return false;
    }
    return true;
}

bool isAcceptable(const ResourceCommand& command) {
    if (command.status != "queued" && command.status != "running") return false;
    if (characterCount(command.id) > maximumIdLength) return false;
    if (command.cpu < 1 || command.cpu > maximumCPU) return false;
    if (command.memoryMiB < minimumMemoryMiB || command.memoryMiB > maximumMemoryMiB) return false;
    if (command.memoryMiB % memoryStepMiB != 0) return false;
    const ResourceObservation& before = command.before;
    if (before.vmState == "Running") return isUUID(before.bootId.value_or(""));
    if (before.vmState == "Stopped") return !before.bootId.has_value();
    return false;
}

bool agrees(const ResourceCommand& stored, const ResourceCommand& command) {
    return stored.cpu == command.cpu && stored.memoryMiB == command.memoryMiB && stored.before == command.before;
}

}  // namespace

void ResourceExecutor::handle(const ResourceCommand& command) const {
    if (!isAcceptable(command)) throw LifecycleFailure(invalidCommandMessage);
    const bool queued = command.status == "queued";

    std::optional<ResourceReceipt> receipt = receipts_->load();
    if (receipt && receipt->command.id != command.id) receipt.reset();
    if (receipt && !agrees(receipt->command, command)) throw LifecycleFailure(receiptMismatchMessage);

    if (!receipt) {
        if (!queued) {
            // The panel already moved this request on without a record of ours: the VM
            // was not changed here, so say so.
            ResourceObservation current = vm_->resourceObservation();
            client_->completeResource(command, false, current);
            return;
        }
        if (vm_->resourceObservation() != command.before) throw LifecycleFailure(changedBeforePrepareMessage);
        receipt = ResourceReceipt(command, prepared);
        receipts_->save(*receipt);
    }

    if (queued && receipt->phase == prepared) {
        ResourceObservation current = vm_->resourceObservation();
        if (current != command.before) throw LifecycleFailure(changedBeforeClaimMessage);
        if (client_->claimResource(command, current)) {
            receipt->phase = attempted;
            receipts_->save(*receipt);
            std::optional<ResourceObservation> after;
            bool success = false;
            try {
                after = vm_->applyResources(command);
                success = matches(command, *after);
            } catch (const std::exception&) {
                // What happened is told by the VM as it is now, not by the error.
                try {
                    after = vm_->resourceObservation();
                } catch (const std::exception&) {
                    after.reset();
                }
            }
            receipt->phase = finished;
            receipt->success = success;
            receipt->actual = after;
            receipts_->save(*receipt);
        }
    }

    if (receipt->phase != finished) {
        ResourceObservation current = vm_->resourceObservation();
        bool success = receipt->phase == attempted && matches(command, current);
        receipt->phase = finished;
        receipt->success = success;
        receipt->actual = current;
        receipts_->save(*receipt);
    }

    ResourceObservation snapshot;
    if (receipt->actual) {
        snapshot = *receipt->actual;
    } else {
        try {
            snapshot = vm_->resourceObservation();
        } catch (const std::exception&) {
            throw LifecycleFailure(unconfirmedMessage);
        }
    }
    client_->completeResource(command, receipt->success.value_or(false), snapshot);
}

}  // namespace tessaron
