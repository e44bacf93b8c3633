#pragma once
// Where the guest scripts (guest_network.py, guest_ssh.py, guest_listeners.py) are
// found: first the application bundle's Resources folder, used only when the file is
// there; otherwise the core library's own resource folder (core/resources of the tree
// the library was built from).

#include <filesystem>
#include <optional>
#include <string>

namespace tessaron::guest_scripts {

// The script's location, or nothing when neither place has it.
std::optional<std::filesystem::path> locate(const std::string& fileName);

// The script's whole text, or nothing when it is not found. A read error is thrown.
std::optional<std::string> load(const std::string& fileName);

// The core library's resource folder.
std::optional<std::filesystem::path> moduleResourcesDirectory();
// For tests: makes moduleResourcesDirectory() answer `directory` (or nothing).
void overrideModuleResourcesDirectory(std::optional<std::filesystem::path> directory);
void clearModuleResourcesOverride();

}  // namespace tessaron::guest_scripts
