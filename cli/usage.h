#pragma once
// The usage text of the `tessaron` program.

#include <string>

namespace tessaron::cli {

// The whole block, ending in one line feed.
std::string usageText();

}  // namespace tessaron::cli
