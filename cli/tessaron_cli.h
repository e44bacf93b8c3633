#pragma once
// The `tessaron` program's front end: the entry that turns any error into the one
// "tessaron: " line with exit status 1, and the dispatcher from the command word to
// the command that runs.

#include "cli/cli_options.h"

#include <functional>
#include <string>
#include <vector>

namespace tessaron::cli {

// One command of the dispatch table: the word(s) it answers to and what runs, given
// the words after the command word and their parsed options.
struct CommandEntry {
    std::vector<std::string> words;
    std::function<void(const std::vector<std::string>& arguments, const CLIOptions& options)> run;
};

// Every command of the program, in dispatch order.
const std::vector<CommandEntry>& commandTable();

// Whether `words` ask for the usage text instead of running anything: a "--help" or
// "-h" as the command word or anywhere after it. The words after `ssh` and after
// `vm shell` are a command for the guest: there only the first of them counts.
bool asksForHelp(const std::vector<std::string>& words);

// Runs the command named by `words` (the process arguments without the program path).
// No words, or words that ask for help, print the usage text. Throws the command's error.
void run(const std::vector<std::string>& words);

// The program's entry: makes standard output unbuffered, runs, and on an error writes
// "tessaron: <message>\n" to standard error in one write. Returns the exit status
// (0 or 1).
int main(const std::vector<std::string>& words);

}  // namespace tessaron::cli
