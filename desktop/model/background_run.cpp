#include "model/background_run.h"

namespace tessaron::desktop {

ProgramOutcome runCaptured(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    try {
        ProcessCommandRunner runner;
        return {runner.run(program.string(), arguments), {}};
    } catch (const std::exception& error) {
        return {std::nullopt, error.what()};
    }
}

}  // namespace tessaron::desktop
