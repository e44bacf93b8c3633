#pragma once
// The machine-readable setup-state line that `tessaron pair` and `tessaron onboard`
// write among their human lines for the desktop application, and what the desktop's
// setup card shows for the stage such a line carries.

#include "panel/setup_records.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

namespace SetupProgressEvent {

// 21 characters; the last is a blank.
inline constexpr std::string_view prefix = "TESSARON_SETUP_STATE ";

// The longest progress line that `pair` and `onboard` write, its line feed included. A progress
// comes from one of the panel's setup answers, which are at most 64 KiB, and its line is never
// more than twice as long; the command line refuses to write a longer one, so a reader that
// takes lines of this length loses no event.
inline constexpr std::size_t maximumLineBytes = 128 * 1024;

// The prefix followed by the compact JSON of `progress`, without a line feed.
std::string line(const SetupProgress& progress);

// The progress carried by one line, or nothing when the line does not begin with the
// prefix exactly or its remainder is not a setup progress. A trailing line feed is
// allowed (it is white space to JSON).
std::optional<SetupProgress> decode(std::string_view line);

}  // namespace SetupProgressEvent

struct SetupPresentation {
    std::string title;
    std::string detail;
    int step = -1;  // index into steps, or -1 when no step is current
    bool working = false;
    bool showCode = false;

    inline static const std::array<std::string, 4> steps{"Approve", "Prepare", "Connect", "Ready"};

    // `synchronized` false means the latest progress is not a confirmed, current one;
    // the stage is then ignored.
    SetupPresentation(const std::string& stage, bool synchronized);
};

}  // namespace tessaron
