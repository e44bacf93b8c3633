#pragma once
// How the `tessaron` program writes to its standard streams. Standard output is
// unbuffered and every line goes out in one write, so that a parent process (the
// desktop application, the menu bar, launchd's log) sees each line as it is written.

#include "host/json.h"
#include "host/process_runner.h"  // replacingInvalidUTF8

#include <string>
#include <string_view>

namespace tessaron::cli {

// Makes standard output unbuffered.
void makeStandardOutputUnbuffered();

// Writes `bytes` to a descriptor completely; throws Error when the descriptor is closed.
void writeAll(int fd, std::string_view bytes);

// `text` made safe to show on a terminal: control characters (C0, DEL and C1) become
// escapes ("\n", "\t", "\r", "\x1B", "\u0085") and each byte of an invalid UTF-8
// sequence becomes "\xNN"; everything else is unchanged. With `keepLineFeeds`, line
// feeds stay as they are (for messages of several lines). Typed words are escaped
// before they are quoted in a message, and every error message before it is printed.
std::string escapedForTerminal(std::string_view text, bool keepLineFeeds = false);

// `text` and a line feed on standard output, in one write.
void printLine(std::string_view text);

// The one-line JSON form of the machine-readable commands: compact, keys sorted at every
// level, a forward slash written as "\/", ended by one line feed.
std::string jsonLine(const json::Json& value);
void printJSON(const json::Json& value);

}  // namespace tessaron::cli
