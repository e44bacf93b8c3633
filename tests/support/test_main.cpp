// The main of every test program: GoogleTest's, with what a test run needs of its process.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    // Tests never read a terminal, and neither do the programs they start: a terminal that
    // reached them (a run started from one) would be taken over by an interactive child
    // (limactl, ssh) and stop the run.
    const int null = ::open("/dev/null", O_RDONLY);
    if (null > STDIN_FILENO) {
        ::dup2(null, STDIN_FILENO);
        ::close(null);
    }
    // A test ends with whatever started it (a killed ctest), and the guests and launchd jobs
    // it started end with the test, also when it is killed: the stand-ins watch it. A test
    // program that runs itself again as a child (to be killed at will) keeps its own
    // process watched, so that what the child started outlives the child, as it must.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::setenv("TESSARON_STANDIN_WATCH_PID", std::to_string(::getpid()).c_str(), /*overwrite=*/0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
