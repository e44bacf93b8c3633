#pragma once
// Every call is appended to $LIMA_HOME/_standin/calls.log as one JSON array of its
// arguments (after the program name), one line per call, under an exclusive lock so
// that concurrent calls never interleave.

#include <string>
#include <vector>

namespace tessaron::standin::limactl {

void appendCall(const std::vector<std::string>& arguments);

}  // namespace tessaron::standin::limactl
