#pragma once
// Pieces of the WireGuard transport's control-plane loop (WireGuardRunner::runForever,
// in control_plane_loop.cpp): its lines, the handshake window, and the pause between
// passes that a stop request cuts short.

#include <chrono>
#include <functional>
#include <stop_token>
#include <string>

namespace tessaron::cli::control_plane {

inline constexpr std::chrono::milliseconds kPassInterval{15'000};
inline constexpr double kHandshakeWindowSeconds = 180;

extern const char* const kStoppedLine;
extern const char* const kConnectedLine;
extern const char* const kWaitingForHandshakeLine;

// The status line after a successful provisioning pass: connected when the guest's
// answer is a JSON object whose "handshakeAt" (seconds since 1970) lies within the
// handshake window before `now`; otherwise waiting for the handshake.
std::string provisionedLine(const std::string& guestStatus, double now);

// The last line of one group; a line is written only when it differs from it.
class LineMemory {
public:
    void show(const std::string& line, const std::function<void(const std::string&)>& write) {
        if (line != last_) write(line);
        last_ = line;
    }
    void forget() { last_.clear(); }

private:
    std::string last_;
};

// Waits for `interval`, or less when a stop is requested. True when stopped.
bool pause(std::stop_token stop, std::chrono::milliseconds interval);

double secondsSince1970();

}  // namespace tessaron::cli::control_plane
