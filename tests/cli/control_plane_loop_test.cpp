#include "cli/control_plane_loop.h"

#include <gtest/gtest.h>

#include <thread>

namespace tessaron::cli::control_plane {
namespace {

TEST(ControlPlaneLines, HandshakeWithinTheWindowMeansConnected) {
    const double now = 1'800'000'000;
    struct Case {
        std::string guest;
        const char* line;
    };
    const std::vector<Case> cases = {
        {R"({"handshakeAt": 1799999821})", kConnectedLine},         // 179 s old
        {R"({"handshakeAt": 1799999820.5})", kConnectedLine},
        {R"({"handshakeAt": 1799999820})", kWaitingForHandshakeLine},  // exactly 180 s
        {R"({"handshakeAt": 1700000000})", kWaitingForHandshakeLine},
        {R"({"handshakeAt": null, "tunnelState": "connecting"})", kWaitingForHandshakeLine},
        {R"({"handshakeAt": "1799999990"})", kWaitingForHandshakeLine},
        {R"({"lastHandshakeAt": 1799999990})", kWaitingForHandshakeLine},
        {R"([1799999990])", kWaitingForHandshakeLine},
        {"", kWaitingForHandshakeLine},
        {"not json", kWaitingForHandshakeLine},
    };
    for (const auto& c : cases) EXPECT_EQ(provisionedLine(c.guest, now), c.line) << c.guest;
    EXPECT_EQ(std::string(kWaitingForHandshakeLine), "Guest networking configured. Waiting for the relay handshake\u2026");
}

TEST(ControlPlaneLines, AGroupRepeatsALineOnlyAfterItChangedOrWasForgotten) {
    std::vector<std::string> written;
    const auto write = [&](const std::string& line) { written.push_back(line); };
    LineMemory status;
    status.show("Network reconnect pending: A", write);
    status.show("Network reconnect pending: A", write);
    status.show(kConnectedLine, write);
    status.show("Network reconnect pending: A", write);
    LineMemory control;
    control.show("Server control pending: B", write);
    control.forget();
    control.show("Server control pending: B", write);
    control.show("Server control pending: B", write);
    EXPECT_EQ(written, (std::vector<std::string>{"Network reconnect pending: A", kConnectedLine, "Network reconnect pending: A",
                                                 "Server control pending: B", "Server control pending: B"}));
}

TEST(ControlPlanePause, AStopRequestEndsTheWaitPromptly) {
    std::stop_source source;
    EXPECT_FALSE(pause(source.get_token(), std::chrono::milliseconds(1)));
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        source.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(pause(source.get_token(), std::chrono::minutes(10)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(5));
    stopper.join();
    EXPECT_TRUE(pause(source.get_token(), std::chrono::minutes(10)));  // already stopped: no wait
}

}  // namespace
}  // namespace tessaron::cli::control_plane
