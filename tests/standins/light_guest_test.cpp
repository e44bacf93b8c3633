// Ending what is left in a light guest's namespace must never reach programs outside it,
// whatever namespace this machine's init happens to live in.

#include "standins/limactl/light_guest.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessaron::standin::limactl {
namespace {

pid_t sleeper() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        std::_Exit(127);
    }
    return pid;
}

bool alive(pid_t pid) {
    return ::waitpid(pid, nullptr, WNOHANG) == 0;
}

TEST(LightGuest, AnAgentThatSharesTheCallersNamespaceLeavesItAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (a network namespace of its own)";
    // The child plays a caller whose namespace differs from init's (as in a sandboxed CI job):
    // an agent without walls of its own (a real guest's) shares it with a bystander.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0) std::_Exit(2);
        const pid_t agent = sleeper();
        const pid_t bystander = sleeper();
        endGuestProcesses(agent);
        const bool spared = alive(agent) && alive(bystander);
        ::kill(agent, SIGKILL);
        ::kill(bystander, SIGKILL);
        std::_Exit(spared ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "unshare failed";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a process outside any guest namespace was ended";
}

}  // namespace
}  // namespace tessaron::standin::limactl
