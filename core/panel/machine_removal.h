#pragma once
// Recognising that the control panel removed this Mac, and the helpers for acting on it:
// how long the panel has been out of reach, and the teardown steps in their fixed order.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

// The panel's answer that this Mac was removed from its account.
struct RemovalNotice {
    std::string machineID;      // always the machine ID the caller expected
    bool deleteServer = false;  // the panel asked that the Linux server be deleted too

    bool operator==(const RemovalNotice&) const = default;

    // A notice when `status` is 410 and `body` is a JSON object whose "code" is
    // "machine_removed" (an optional boolean "deleteServer" may ask for deletion);
    // nothing for every other answer, and when `expectedMachineID` is empty.
    static std::optional<RemovalNotice> from(long status, std::string_view body, const std::string& expectedMachineID);
};

// Since when the panel has been unreachable.
struct StrandedWatch {
    using Clock = std::chrono::system_clock;
    static constexpr std::chrono::seconds threshold{86400};

    std::optional<Clock::time_point> offlineSince;

    StrandedWatch() = default;
    explicit StrandedWatch(std::optional<Clock::time_point> since) : offlineSince(since) {}

    // One attempt to reach the panel: a success clears the outage, a failure starts one
    // unless one is already running.
    void record(bool reachedTessaron, Clock::time_point at);

    // True when the internet works and the panel has been out of reach for at least
    // the threshold.
    bool shouldOffer(Clock::time_point now, bool internetWorking) const;

    bool operator==(const StrandedWatch&) const = default;
};

namespace RemovalTeardown {

struct Steps {
    std::function<void()> stopHosting;
    std::function<void()> deleteServer;
    std::function<void()> forgetIdentity;
};

struct Outcome {
    bool stoppedHosting = false;
    bool deletedServer = false;
    bool forgotIdentity = false;
    bool operator==(const Outcome&) const = default;
};

// Stops hosting, deletes the server when the notice asks for it, then forgets the
// pairing. The first step that throws ends the sequence; its error passes unchanged.
Outcome perform(const RemovalNotice& notice, const Steps& steps);

}  // namespace RemovalTeardown

}  // namespace tessaron
