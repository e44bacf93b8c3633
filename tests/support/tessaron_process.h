#pragma once
// Runs the built `tessaron` program as a child process, the way the desktop
// application and the menu bar do, in an environment of the test's choosing.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessaron::testing {

struct ProgramRun {
    int exitCode = -1;
    std::string standardOutput;
    std::string standardError;
};

struct ProgramEnvironment {
    // Variables set for the child on top of the test's own environment; a nullopt value unsets one.
    std::map<std::string, std::optional<std::string>> variables;
    std::optional<std::filesystem::path> workingDirectory;
    std::string standardInput;  // written to the child's standard input, then closed
};

// build/Tessaron.app/Contents/MacOS/tessaron
std::filesystem::path tessaronPath();

// Runs `program` with `arguments` and waits for it (killed after `timeoutSeconds`).
ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const ProgramEnvironment& environment = {}, int timeoutSeconds = 120);

inline ProgramRun runTessaron(const std::vector<std::string>& arguments, const ProgramEnvironment& environment = {},
                              int timeoutSeconds = 120) {
    return runProgram(tessaronPath(), arguments, environment, timeoutSeconds);
}

}  // namespace tessaron::testing
