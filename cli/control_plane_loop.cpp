#include "cli/control_plane_loop.h"

#include "host/json.h"

#include <condition_variable>
#include <mutex>

namespace tessaron::cli::control_plane {

const char* const kStoppedLine = "Linux is turned off by request. Waiting for a start command.";
const char* const kConnectedLine =
    "WireGuard connected. Published services use the relay; ordinary outbound traffic uses your internet connection.";
const char* const kWaitingForHandshakeLine = "Guest networking configured. Waiting for the relay handshake\u2026";

std::string provisionedLine(const std::string& guestStatus, double now) {
    double handshake = 0;
    try {
        const json::Json status = json::parse(guestStatus);
        if (status.is_object()) {
            auto found = status.find("handshakeAt");
            if (found != status.end() && found->is_number()) handshake = found->get<double>();
        }
    } catch (const json::DecodingError&) {
        // Not JSON: no handshake yet.
    }
    return now - kHandshakeWindowSeconds < handshake ? kConnectedLine : kWaitingForHandshakeLine;
}

bool pause(std::stop_token stop, std::chrono::milliseconds interval) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, interval, [] { return false; });
    return stop.stop_requested();
}

double secondsSince1970() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace tessaron::cli::control_plane
