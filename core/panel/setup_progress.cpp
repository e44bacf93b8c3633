#include "panel/setup_progress.h"

namespace tessaron {

namespace SetupProgressEvent {

std::string line(const SetupProgress& progress) { return std::string(prefix) + progress.encode(); }

std::optional<SetupProgress> decode(std::string_view line) {
    if (line.substr(0, prefix.size()) != prefix) return std::nullopt;
    try {
        return SetupProgress::decode(line.substr(prefix.size()));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace SetupProgressEvent

SetupPresentation::SetupPresentation(const std::string& stage, bool synchronized) {
    struct Row {
        const char* title;
        const char* detail;
        int step;
        bool working;
        bool showCode;
    };
    static const Row unsynchronized{
        "Checking setup status",
        "We can\u2019t confirm progress right now. Keep your Mac online; we\u2019ll check again automatically.", -1, false,
        false};
    static const Row unknown{"Checking setup status",
                             "Waiting for a confirmed update. If this continues, reopen Tessaron on your Mac.", -1, false,
                             false};
    static const std::pair<const char*, Row> rows[] = {
        {"awaiting_account",
         {"Connect your Mac", "Check that the code matches on both screens, then approve this Mac in the web panel.", 0,
          false, true}},
        {"approved",
         {"Mac approved", "Waiting for the Mac app to start preparing your server. No need to approve again.", 1, true,
          false}},
        {"creating_vm",
         {"Preparing your server",
          "This can take several minutes. Keep your Mac awake and online. There\u2019s nothing else to do right now.", 1,
          true, false}},
        {"linking",
         {"Connecting your Mac", "Your server is prepared. We\u2019re finishing its connection to your account.", 2, true,
          false}},
        {"complete",
         {"Your Mac is linked",
          "You\u2019re ready for the next step: let your AI assistant help, or set up your first app yourself.", 3, false,
          false}},
        {"failed",
         {"Setup needs attention",
          "Open Tessaron on this Mac to see what needs attention and resume setup. Your existing server and files are "
          "preserved.",
          -1, false, false}},
    };

    const Row* chosen = &unknown;
    if (!synchronized) {
        chosen = &unsynchronized;
    } else {
        for (const auto& [name, row] : rows)
            if (stage == name) chosen = &row;
    }
    title = chosen->title;
    detail = chosen->detail;
    step = chosen->step;
    working = chosen->working;
    showCode = chosen->showCode;
}

}  // namespace tessaron
