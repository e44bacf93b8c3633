#pragma once
// What `tessaron pair` and `tessaron onboard` write on standard output. People read
// these lines in a terminal and the desktop application parses them from the child
// process's output, so their texts are fixed. Each function returns one line without
// its line feed; the caller prints it with printLine(). Progress lines carry the
// panel's setup state as JSON and go out through publish().

#include "host/url.h"
#include "panel/setup_records.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unistd.h>

namespace tessaron::cli::setup_output {

// ---- setup flow ----
// A saved setup for the same panel is resumed (before the approval lines).
std::string resuming();
// The three approval lines, in this order, after the ticket is saved.
std::string approvalCode(const std::string& code);
std::string setupLink(const Url& authorizeURL);
std::string waitingForApproval();
// The first answer that is neither "awaiting_account" nor "complete".
std::string accountApproved();
// A built VM instance is kept.
std::string keepingExistingVM();
// After the download sweep: "Removed <MB> MB …" with whole megabytes (10^6 bytes,
// rounded down), or nothing when no byte was removed.
std::optional<std::string> removedDownloads(std::uint64_t bytes);
// Before a new VM is created (also in the legacy flow).
std::string creatingVM();
// An instance whose disk was never built is started again.
std::string restartingInterruptedSetup();
// The last line of a successful run.
std::string paired();

// ---- legacy pairing-code flow ----
// Begins with a line feed, so an empty line comes first.
std::string legacyCode(const std::string& code);
std::string legacyWaiting();
std::string legacyPaired();

// ---- progress lines ----
// The setup-state line with its line feed; one longer than SetupProgressEvent::maximumLineBytes
// is thrown as an Error.
std::string progressLine(const SetupProgress& progress);
// Writes progressLine() with one write call to `fd`; a write error is thrown and
// nothing else is written.
void publish(const SetupProgress& progress, int fd = STDOUT_FILENO);

}  // namespace tessaron::cli::setup_output
