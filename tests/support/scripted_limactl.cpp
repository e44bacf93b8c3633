#include "support/scripted_limactl.h"

#include <gtest/gtest.h>

namespace tessaron::testing {

using Reply = FakeCommandRunner::Reply;

Argv editArgv(int cpus, const std::string& memory) {
    return {"edit", "--yes", "--cpus", std::to_string(cpus), "--memory", memory, "tessaron"};
}

std::string listing(const std::string& status, std::int64_t cpus, std::uint64_t memory) {
    return "{\"name\":\"tessaron\",\"status\":\"" + status + "\",\"cpus\":" + std::to_string(cpus) +
           ",\"memory\":" + std::to_string(memory) + ",\"dir\":\"/lima/tessaron\"}\n";
}

Step ok(Argv argv) { return {std::move(argv), Reply::output("")}; }
Step out(Argv argv, std::string output) { return {std::move(argv), Reply::output(std::move(output))}; }
Step fail(Argv argv, std::string standardError) { return {std::move(argv), Reply::failure(1, std::move(standardError))}; }
Step list(const std::string& status, std::int64_t cpus, std::uint64_t memory) {
    return out(listArgv, listing(status, cpus, memory));
}

ScriptedLimactl::ScriptedLimactl(const std::vector<Step>& steps) {
    for (const auto& step : steps) {
        runner->then(step.reply);
        expected.push_back(step.argv);
    }
}

void ScriptedLimactl::verify() const {
    EXPECT_EQ(runner->argumentVectors(), expected);
    EXPECT_EQ(runner->pendingReplies(), 0u);
}

}  // namespace tessaron::testing
