#pragma once
// The machine-readable setup-state line that `tessaron pair` and `tessaron onboard`
// write among their human lines for the desktop application, and what the desktop's
// setup card shows for the stage such a line carries.

#include "panel/setup_records.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

namespace SetupProgressEvent {

// 21 characters; the last is a blank.
inline constexpr std::string_view prefix = "TESSARON_SETUP_STATE ";

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
