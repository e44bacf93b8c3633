#include "model/menu_command_runner.h"

#include "host/lima_manager.h"  // lima_text::trimmed
#include "host/process_runner.h"

namespace tessaron::menubar {

std::filesystem::path enclosingApplication(const std::filesystem::path& menuBarBundle) {
    std::filesystem::path bundle = menuBarBundle;
    if (!bundle.has_filename()) bundle = bundle.parent_path();  // a trailing slash
    for (int i = 0; i < 4; ++i) bundle = bundle.parent_path();
    return bundle;
}

std::filesystem::path tessaronProgram(const std::filesystem::path& menuBarBundle) {
    return enclosingApplication(menuBarBundle) / "Contents" / "MacOS" / "tessaron";
}

TessaronCommandRunner::TessaronCommandRunner(std::function<std::optional<std::filesystem::path>()> program,
                                             std::chrono::milliseconds grace)
    : program_(std::move(program)), grace_(grace) {}

MenuCommandResult TessaronCommandRunner::run(const std::vector<std::string>& arguments,
                                             std::chrono::milliseconds timeout, std::stop_token stop) {
    const std::optional<std::filesystem::path> program = program_();
    if (!program) return {"", launchFailedText};
    BoundedRun run;
    try {
        run = runBounded(program->string(), arguments, timeout, outputLimit, grace_, std::move(stop));
    } catch (const LaunchError&) {
        return {"", launchFailedText};
    }
    if (run.timedOut || run.stopped) return {"", timedOutText};
    if (run.exitCode == 0) return {std::move(run.standardOutput), std::nullopt};
    const std::string reason = lima_text::trimmed(replacingInvalidUTF8(run.standardError));
    return {std::move(run.standardOutput), reason.empty() ? failedWithoutReasonText : reason};
}

}  // namespace tessaron::menubar
