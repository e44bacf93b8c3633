#include "cli/setup_output.h"

#include "cli/output.h"
#include "panel/setup_progress.h"

namespace tessaron::cli::setup_output {

std::string resuming() { return "Resuming your saved setup. Existing Linux files will be preserved."; }

std::string approvalCode(const std::string& code) { return "Approve this Mac in the web panel with code: " + code; }

std::string setupLink(const Url& authorizeURL) { return "Setup link: " + authorizeURL.absoluteString(); }

std::string waitingForApproval() { return "Waiting for account approval before creating Linux\u2026"; }

std::string accountApproved() { return "Account approved. Preparing your Linux server\u2026"; }

std::string keepingExistingVM() { return "Keeping your existing Linux VM, files and resources."; }

std::optional<std::string> removedDownloads(std::uint64_t bytes) {
    if (bytes == 0) return std::nullopt;
    return "Removed " + std::to_string(bytes / 1'000'000) + " MB of interrupted downloads from an earlier attempt.";
}

std::string creatingVM() { return "Creating the single Tessaron Linux VM\u2026"; }

std::string restartingInterruptedSetup() {
    return "The last setup stopped before your Linux server was downloaded. Starting it again \u2014 nothing was "
           "created, so nothing is lost.";
}

std::string paired() { return "Paired. Your Mac is linked; background hosting can now connect."; }

std::string legacyCode(const std::string& code) { return "\nPair this Mac in the Tessaron dashboard with code: " + code; }

std::string legacyWaiting() { return "Waiting for approval\u2026"; }

std::string legacyPaired() {
    return "Paired. Your connection is saved privately on this Mac; run `tessaron serve` to connect. No Keychain "
           "permission is needed.";
}

std::string progressLine(const SetupProgress& progress) {
    std::string line = SetupProgressEvent::line(progress) + "\n";
    if (line.size() > SetupProgressEvent::maximumLineBytes)
        throw Error("The panel's setup progress is too long to pass on.");
    return line;
}

void publish(const SetupProgress& progress, int fd) { writeAll(fd, progressLine(progress)); }

}  // namespace tessaron::cli::setup_output
