// Background hosting (`tessaron service enable` when the connection helper is stopped) and the
// VM's resources (`tessaron vm resources`, `tessaron vm resize`).

#include "model/desktop_model.h"

#include <algorithm>
#include <cmath>

namespace tessaron::desktop {
namespace {

QString qText(const std::string& text) { return QString::fromStdString(text); }

// A run that failed without saying why, or did not end in time.
constexpr const char* hostingFailedText = "Could not enable background hosting. Try again.";
constexpr const char* resourcesFailedText = "Could not update server resources. Try again.";

// Raised to `low` first, then lowered to `high`, so `high` wins when the two cross.
int clamped(std::int64_t value, std::int64_t low, std::int64_t high) {
    return static_cast<int>(std::min(std::max(value, low), high));
}

}  // namespace

void DesktopModel::connect() {
    if (child_ || loadingResources_ || resizingResources_ || showResources_ || checkingConnection_) return;
    set(checkingConnection_, true, &DesktopModel::checkingConnectionChanged);
    refreshConnectionThen([this] {
        set(checkingConnection_, false, &DesktopModel::checkingConnectionChanged);
        if (agentState_ == "stopped") enableBackgroundHosting();
    });
}

void DesktopModel::enableBackgroundHosting() {
    set(running_, true, &DesktopModel::runningChanged);
    set(connection_, QString("Connecting\u2026"), &DesktopModel::connectionChanged);
    set(error_, QString(), &DesktopModel::errorChanged);
    runProgram({"service", "enable"}, options_.timeouts.service, hostingFailedText,
               [this](const ProgramOutcome& outcome) {
        if (!outcome.result) {
            set(error_, qText(outcome.failure), &DesktopModel::errorChanged);
        } else {
            appendToLog(qText(outcome.result->standardOutput));
            if (outcome.result->exitCode != 0)
                set(error_,
                    qText(ResourceCommandError::fromStandardError(outcome.result->standardError, hostingFailedText)
                              .what()),
                    &DesktopModel::errorChanged);
        }
        set(running_, false, &DesktopModel::runningChanged);
        refresh();
    });
}

bool DesktopModel::resourcesChanged() const {
    if (!resources_) return false;
    if (resourceCPU_ != resources_->cpu) return true;
    return static_cast<double>(resourceMemory_) != resources_->memoryGiB;
}

void DesktopModel::resourceCommand(std::vector<std::string> arguments, std::chrono::milliseconds timeout,
                                   std::function<void(const std::optional<DesktopResources>&, const QString&)> done) {
    runProgram(std::move(arguments), timeout, resourcesFailedText,
               [done = std::move(done)](const ProgramOutcome& outcome) {
        if (!outcome.result) return done(std::nullopt, qText(outcome.failure));
        if (outcome.result->exitCode != 0)
            return done(std::nullopt, qText(ResourceCommandError::fromStandardError(outcome.result->standardError,
                                                                                    resourcesFailedText)
                                                .what()));
        try {
            done(DesktopResources::decode(outcome.result->standardOutput), {});
        } catch (const std::exception& error) {
            done(std::nullopt, qText(error.what()));
        }
    });
}

void DesktopModel::applyResourcesRead(const DesktopResources& read) {
    set(resources_, std::optional<DesktopResources>(read), &DesktopModel::resourcesChanged_);
    set(allocatedCPU_, std::optional<int>(static_cast<int>(read.cpu)), &DesktopModel::allocatedCPUChanged);
    set(allocatedMemoryGiB_, std::optional<double>(read.memoryGiB), &DesktopModel::allocatedMemoryGiBChanged);
    set(allocation_, QString::number(read.cpu) + " CPUs \u00B7 " + memoryLabel(read.memoryGiB) + " GiB RAM",
        &DesktopModel::allocationChanged);
    set(vmStatus_, qText(read.state), &DesktopModel::vmStatusChanged);
}

void DesktopModel::editResources() {
    if (!vmExists_ || resourceActionsBusy()) return;
    set(showResources_, true, &DesktopModel::showResourcesChanged);
    set(resources_, std::optional<DesktopResources>(), &DesktopModel::resourcesChanged_);
    set(resourceError_, QString(), &DesktopModel::resourceErrorChanged);
    set(loadingResources_, true, &DesktopModel::loadingResourcesChanged);
    resourceCommand({"vm", "resources"}, options_.timeouts.resources,
                    [this](const std::optional<DesktopResources>& read, const QString& failure) {
        if (read) {
            const auto& bounds = read->bounds;
            // The editor shows the size clamped into the bounds; the fields below keep the VM's own.
            set(resources_, read, &DesktopModel::resourcesChanged_);
            setResourceCPU(clamped(read->cpu, bounds.minCPU, bounds.maxCPU));
            const double memory = std::floor(read->memoryGiB);
            const std::int64_t whole =
                std::isfinite(memory) ? static_cast<std::int64_t>(std::clamp(memory, -1e15, 1e15)) : bounds.minMemoryGiB;
            setResourceMemory(clamped(whole, bounds.minMemoryGiB, bounds.maxMemoryGiB));
            applyResourcesRead(*read);
        } else {
            set(resourceError_, failure, &DesktopModel::resourceErrorChanged);
        }
        set(loadingResources_, false, &DesktopModel::loadingResourcesChanged);
    });
}

void DesktopModel::applyResources(bool restart) {
    if (resourceActionsBusy() || !resourcesChanged()) return;
    set(resizingResources_, true, &DesktopModel::resizingResourcesChanged);
    set(resourceError_, QString(), &DesktopModel::resourceErrorChanged);
    std::vector<std::string> arguments{"vm", "resize", "--cpus", std::to_string(resourceCPU_), "--memory-gib",
                                       std::to_string(resourceMemory_)};
    if (restart) arguments.push_back("--restart");
    resourceCommand(std::move(arguments), options_.timeouts.resize,
                    [this](const std::optional<DesktopResources>& read, const QString& failure) {
        if (read) {
            applyResourcesRead(*read);
            set(showResources_, false, &DesktopModel::showResourcesChanged);
        } else {
            set(resourceError_, failure, &DesktopModel::resourceErrorChanged);
        }
        set(resizingResources_, false, &DesktopModel::resizingResourcesChanged);
        refresh();
    });
}

}  // namespace tessaron::desktop
