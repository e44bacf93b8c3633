#pragma once
// `tessaron onboard` and `tessaron pair`: link this Mac to a web control panel through
// the panel's setup API and leave it ready for `tessaron serve`.
//
// The setup is resumable: the panel's ticket is saved (pending-setup.json) before the
// user is asked to approve, and a later run for the same panel picks it up again. The
// run holds the VM resource lock exclusively from just after the check for an existing
// pairing to its end. What it prints is fixed by cli/setup_output.h.

#include "cli/cli_options.h"
#include "host/resource_policy.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tessaron::cli {

// The wait between two polls of the panel while the user has not acted yet.
using PollPause = std::function<void()>;

// Sleeps two seconds.
void pauseBetweenPolls();

// `createVM` true for `onboard` (the one Linux VM is created when missing), false for
// `pair` (an existing VM is required and kept). `--transport legacy` or
// `--legacy-pairing` hands the whole run to legacyPair(). Throws the error that ended
// the run; its message is the sentence to show.
void pair(const CLIOptions& options, bool createVM, const PollPause& pause = pauseBetweenPolls);

// The option readers the two pairing flows share. An option counts when it was given
// with a value (an empty value included); a bare flag counts as absent.
namespace pairing_options {

std::optional<std::string> value(const CLIOptions& options, const std::string& name);

// --profile, lowercased; "balanced" when absent. Anything but "eco", "balanced" or
// "performance": "Invalid --profile: use eco, balanced, or performance.".
ResourceProfile profile(const CLIOptions& options);

// --disk-gib: a whole decimal number (an optional leading "+" or "-") of at least 10;
// 40 when absent. Else "Invalid --disk-gib: enter a whole number of at least 10.".
std::int64_t diskGiB(const CLIOptions& options);

// --vm-template, when given with a value.
std::optional<std::string> vmTemplate(const CLIOptions& options);

}  // namespace pairing_options

// Records the wish that the VM be running, before it is started or created. A failure
// to save it is ignored: the VM is started either way.
void recordRunningIntent() noexcept;

}  // namespace tessaron::cli
