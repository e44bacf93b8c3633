#pragma once
// The guest tunnel's state, and the checks the Mac applies to what the guest scripts
// print (guest_network.py, guest_listeners.py) and to the guest account that SSH
// preparation is done for. LimaManager's guest operations (guest_ssh.cpp,
// guest_networking.cpp) run the scripts; the functions here only read their output.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

// The WireGuard tunnel inside the guest together with the VM's state.
struct GuestConnectionStatus {
    std::string vmState;                    // the VM status as limactl printed it ("Running")
    std::string tunnelState;                // "connected", "connecting", "offline", "not-configured", "unknown"
    std::optional<double> lastHandshakeAt;  // seconds since 1970, exactly as the guest reported it
    std::optional<std::string> error;       // the guest's own error text

    bool operator==(const GuestConnectionStatus&) const = default;
};

namespace guest_output {

inline constexpr std::size_t maxSSHRequestBytes = 100'000;
inline constexpr std::size_t maxSSHAnswerBytes = 65'536;
inline constexpr std::size_t maxListenerReportBytes = 16'384;
inline constexpr std::size_t maxListeners = 64;
inline constexpr std::size_t maxNetworkConfigurationBytes = 8'192;

inline constexpr const char* keepRunningMessage = "Keep Linux running to prepare SSH.";
inline constexpr const char* unsafeAccountMessage = "Could not identify your Linux account safely.";
inline constexpr const char* missingSSHScriptMessage = "Update Tessaron to prepare SSH automatically.";
inline constexpr const char* sshAnswerTooLargeMessage = "SSH preparation returned too much data.";
inline constexpr const char* sshAnswerNotTextMessage = "SSH preparation returned an answer that is not valid text.";
inline constexpr const char* missingListenerScriptMessage =
    "The app cannot read the Linux app list. Update Tessaron and try again.";
inline constexpr const char* unreadableListenersMessage =
    "The Linux app list could not be read. You can still add a connection manually.";
inline constexpr const char* missingNetworkScriptMessage = "The app is missing its guest networking installer.";
inline constexpr const char* missingPublicKeyMessage = "The guest did not return its WireGuard public key.";
inline constexpr const char* invalidNetworkConfigurationMessage = "Invalid guest network configuration.";
inline constexpr const char* unknownTunnelStateMessage = "The guest returned an unknown connection state.";

// A guest account SSH may be prepared for: 1 to 32 ASCII characters, the first a letter
// or "_", the others letters, digits, "_" or "-" (either letter case), and not exactly
// "root". The whole text is tested; nothing before or after it is tolerated.
bool isSafeAccountName(std::string_view name);

// A process name the listener report may carry: 1 to 64 ASCII letters, digits, "_",
// ".", "+", " " or "-", the whole text.
bool isSafeProcessName(std::string_view name);

// Checks guest_listeners.py's output strictly and returns it as compact JSON with
// "available", "truncated" and "listeners" (each with "protocol", "port", "binding" and
// "processName", null when the guest gave none), in the guest's order. Output that is
// not the report's JSON is a json::DecodingError; a report that breaks a rule (size,
// count, an unavailable report with listeners, a repeated protocol and port, a listener
// outside the rules) is LimaManagerError::commandFailed(unreadableListenersMessage).
std::string validatedListenerReport(std::string_view output);

// One of the five tunnel states, exactly.
bool isTunnelState(std::string_view state);

// The "status" action's answer for a running VM: a JSON object whose "tunnelState" is
// required and whose "lastHandshakeAt" (number) and "error" (string) may be missing or
// null. Not such an object: json::DecodingError; a state outside the five:
// LimaManagerError::commandFailed(unknownTunnelStateMessage).
GuestConnectionStatus decodeConnectionStatus(const std::string& vmState, std::string_view output);

// The "init" action's answer: a JSON object of strings only, whose "publicKey" is
// standard Base64 of exactly 32 bytes; returns that text unchanged. Not JSON:
// json::DecodingError; anything else wrong: commandFailed(missingPublicKeyMessage).
std::string wireGuardPublicKey(std::string_view output);

// The panel's network configuration as the text handed to the guest: valid UTF-8 of at
// most 8,192 bytes without NUL characters (which a program argument cannot carry), else
// commandFailed(invalidNetworkConfigurationMessage).
std::string validatedNetworkConfiguration(const std::string& configuration);

}  // namespace guest_output

}  // namespace tessaron
