#pragma once
// A scripted CommandRunning for unit tests: it records every call (executable,
// arguments, captured or interactive) and answers with the replies queued by the test,
// in order, one reply per call. A call with no reply left goes to the responder when
// one is set; otherwise it is reported as a test failure and thrown as
// FakeCommandRunner::UnexpectedCall.
//
//   auto runner = std::make_shared<testing::FakeCommandRunner>();
//   runner->thenOutput("Running\n").thenFailure(1, "level=fatal msg=\"boom\"");
//   ... code under test ...
//   EXPECT_EQ(runner->argumentVectors(), (std::vector<std::vector<std::string>>{...}));

#include "host/process_runner.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessaron::testing {

class FakeCommandRunner : public CommandRunning {
public:
    struct Call {
        std::string executable;
        std::vector<std::string> arguments;
        bool interactive = false;
        bool operator==(const Call&) const = default;
    };

    struct Reply {
        CommandResult result;                    // for an interactive call only exitCode counts
        std::optional<std::string> launchError;  // when set, the call throws LaunchError with this text

        static Reply output(std::string standardOutput, std::int32_t exitCode = 0);
        static Reply failure(std::int32_t exitCode, std::string standardError = "");
        static Reply launchFailure(std::string sentence);
    };

    class UnexpectedCall : public std::logic_error {
    public:
        using std::logic_error::logic_error;
    };

    // Queue replies; each is used by exactly one call, in order.
    FakeCommandRunner& then(Reply reply);
    FakeCommandRunner& thenOutput(std::string standardOutput);
    FakeCommandRunner& thenSuccess() { return thenOutput(""); }
    FakeCommandRunner& thenFailure(std::int32_t exitCode, std::string standardError = "");
    FakeCommandRunner& thenLaunchError(std::string sentence);

    // Answers calls once the queue is empty (e.g. a small model of the program).
    void setResponder(std::function<Reply(const Call&)> responder);

    std::vector<Call> calls() const;
    // Only the argument vectors, in call order.
    std::vector<std::vector<std::string>> argumentVectors() const;
    std::size_t pendingReplies() const;
    void clearCalls();

    CommandResult run(const std::string& executable, const std::vector<std::string>& arguments) override;
    std::int32_t runInteractive(const std::string& executable, const std::vector<std::string>& arguments) override;

private:
    Reply next(Call call);

    mutable std::mutex mutex_;
    std::deque<Reply> replies_;
    std::vector<Call> calls_;
    std::function<Reply(const Call&)> responder_;
};

}  // namespace tessaron::testing
