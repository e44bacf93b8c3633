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
    // A test ends with whatever started it (a killed ctest), and the guests it started end
    // with the test, also when it is killed: the stand-in limactl's host agents watch it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::setenv("TESSARON_STANDIN_WATCH_PID", std::to_string(::getpid()).c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
