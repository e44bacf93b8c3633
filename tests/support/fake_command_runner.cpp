#include "support/fake_command_runner.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tessaron::testing {

FakeCommandRunner::Reply FakeCommandRunner::Reply::output(std::string standardOutput, std::int32_t exitCode) {
    Reply reply;
    reply.result.exitCode = exitCode;
    reply.result.standardOutput = std::move(standardOutput);
    return reply;
}

FakeCommandRunner::Reply FakeCommandRunner::Reply::failure(std::int32_t exitCode, std::string standardError) {
    Reply reply;
    reply.result.exitCode = exitCode;
    reply.result.standardError = std::move(standardError);
    return reply;
}

FakeCommandRunner::Reply FakeCommandRunner::Reply::launchFailure(std::string sentence) {
    Reply reply;
    reply.launchError = std::move(sentence);
    return reply;
}

FakeCommandRunner& FakeCommandRunner::then(Reply reply) {
    std::lock_guard lock(mutex_);
    replies_.push_back(std::move(reply));
    return *this;
}

FakeCommandRunner& FakeCommandRunner::thenOutput(std::string standardOutput) {
    return then(Reply::output(std::move(standardOutput)));
}

FakeCommandRunner& FakeCommandRunner::thenFailure(std::int32_t exitCode, std::string standardError) {
    return then(Reply::failure(exitCode, std::move(standardError)));
}

FakeCommandRunner& FakeCommandRunner::thenLaunchError(std::string sentence) {
    return then(Reply::launchFailure(std::move(sentence)));
}

void FakeCommandRunner::setResponder(std::function<Reply(const Call&)> responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

std::vector<FakeCommandRunner::Call> FakeCommandRunner::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::vector<std::string>> FakeCommandRunner::argumentVectors() const {
    std::lock_guard lock(mutex_);
    std::vector<std::vector<std::string>> vectors;
    vectors.reserve(calls_.size());
    for (const auto& call : calls_) vectors.push_back(call.arguments);
    return vectors;
}

std::size_t FakeCommandRunner::pendingReplies() const {
    std::lock_guard lock(mutex_);
    return replies_.size();
}

void FakeCommandRunner::clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

FakeCommandRunner::Reply FakeCommandRunner::next(Call call) {
    std::function<Reply(const Call&)> responder;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        if (!replies_.empty()) {
            Reply reply = std::move(replies_.front());
            replies_.pop_front();
            return reply;
        }
        responder = responder_;
    }
    if (responder) return responder(call);
    std::string described;
    for (const auto& argument : call.arguments) described += " " + argument;
    ADD_FAILURE() << "FakeCommandRunner: no reply scripted for" << described;
    throw UnexpectedCall("no reply scripted for" + described);
}

CommandResult FakeCommandRunner::run(const std::string& executable, const std::vector<std::string>& arguments) {
    Reply reply = next({executable, arguments, false});
    if (reply.launchError) throw LaunchError(*reply.launchError, ENOENT);
    return reply.result;
}

std::int32_t FakeCommandRunner::runInteractive(const std::string& executable, const std::vector<std::string>& arguments) {
    Reply reply = next({executable, arguments, true});
    if (reply.launchError) throw LaunchError(*reply.launchError, ENOENT);
    return reply.result.exitCode;
}

}  // namespace tessaron::testing
