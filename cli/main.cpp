// The `tessaron` program: the command line, and `tessaron serve`, the connection helper
// that launchd starts.
#include "cli/tessaron_cli.h"

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // A parent that closes our output pipe must not kill us mid-write; the write
    // reports the error instead.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tessaron::cli::main(words);
}
