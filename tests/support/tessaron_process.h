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

// What a child started by fork and exec needs, made before the fork: the child of a
// process with threads may only make system calls (an allocator lock that another thread
// held at the fork stays locked there for ever).
class PreparedExec {
public:
    PreparedExec(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                 const ProgramEnvironment& environment);
    PreparedExec(const PreparedExec&) = delete;
    PreparedExec& operator=(const PreparedExec&) = delete;
    // In the child: changes to the working directory and runs the program; never returns.
    [[noreturn]] void exec() const;

private:
    std::string path_, directory_;
    std::vector<std::string> arguments_, environment_;
    std::vector<char*> argv_, envp_;
};

// build/Tessaron.app/Contents/MacOS/tessaron
std::filesystem::path tessaronPath();

// Runs `program` with `arguments` and waits for it (killed after `timeoutSeconds`).
ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const ProgramEnvironment& environment = {}, int timeoutSeconds = 120);

// Writes `dir`/ps: the stand-in ps, showing of the `tessaron` processes only those whose
// HOME is the caller's. On a Mac the helper check lists the processes of the signed-in
// user, who has one home; here every test runs as the same user in a home of its own,
// side by side, and the helpers of other tests must not count as this test's. Point
// TESSARON_PS_PATH at the returned path.
std::filesystem::path writeHomeFilteredProcessLister(const std::filesystem::path& dir);

inline ProgramRun runTessaron(const std::vector<std::string>& arguments, const ProgramEnvironment& environment = {},
                              int timeoutSeconds = 120) {
    return runProgram(tessaronPath(), arguments, environment, timeoutSeconds);
}

}  // namespace tessaron::testing
