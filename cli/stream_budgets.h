#pragma once
// How much one tunnel connection holds for its TCP/UDP streams, and the sentence of a
// stream closed because its local reader stopped.

#include <chrono>
#include <cstddef>
#include <string>

namespace tessaron::cli {

// What one tunnel connection may hold for its streams. The edge cannot slow down one stream
// alone (the frames have no window), so data for a local reader that is slower than the
// edge waits here, per stream:
//  - while a stream has more than streamBytes waiting and its reader is still taking data
//    (it took some within the last pacedFor), the connection reads the next frame only as
//    that reader makes room: a slow reader sets the pace, as over one TCP connection;
//  - a reader that has taken nothing for pacedFor no longer holds the connection up: its
//    stream's frames go on waiting, up to connectionBytes for all streams together (plus
//    the frame being taken); at that total the connection reads no further frame until a
//    reader takes some or a stuck stream is closed;
//  - a stream whose reader has taken nothing for stuckAfter while more than streamBytes
//    wait for it, or while the connection's budget is in use, is closed with a
//    "stream_close" that says why; the other streams go on;
//  - towards the edge, a stream's reader reads its local socket only while the frames not
//    yet written to the edge hold less than sendingBytes.
struct StreamBudgets {
    std::size_t streamBytes = 4u << 20;
    std::size_t connectionBytes = 32u << 20;
    std::chrono::milliseconds pacedFor{500};
    std::chrono::milliseconds stuckAfter{30'000};
    std::size_t sendingBytes = 4u << 20;
};

// The sentence of a "stream_close" for a stream whose local reader stopped taking its data.
std::string stuckStreamSentence(const StreamBudgets& budgets, bool overStreamBudget);

// Amounts and times as the helper's sentences give them: "4 MiB", "1 second", "0.5 seconds".
std::string amountText(std::size_t bytes);
std::string durationText(std::chrono::milliseconds time);

}  // namespace tessaron::cli
