#pragma once
// The call log of a stand-in: one JSON array of arguments per line, appended under an
// exclusive lock so that concurrent calls never interleave.

#include <filesystem>
#include <string>
#include <vector>

namespace tessaron::standin {

// Appends `arguments` to `file` (created 0600, never through a link); its folder is
// created when missing. Throws std::runtime_error when the file cannot be opened.
void appendCallLine(const std::filesystem::path& file, const std::vector<std::string>& arguments);

}  // namespace tessaron::standin
