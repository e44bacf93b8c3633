#pragma once
// The pairing record: everything needed to talk to the control panel on this Mac's
// behalf, kept in agent.json (normally ~/Library/Application Support/Tessaron/agent.json,
// or the file named by TESSARON_CONFIG_PATH). The device token is not in it; it lives
// in the credential file beside it (host/device_credential_store.h).

#include "host/error.h"
#include "host/json.h"
#include "host/url.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessaron {

// The default control-panel address, used before any pairing exists.
namespace TessaronEndpoints {
// "https://panel.tessaron.invalid", parsed once on first use (thread-safe).
const Url& defaultControl();
// defaultControl().absoluteString()
const std::string& defaultControlText();
}  // namespace TessaronEndpoints

struct AgentConfiguration {
    std::string machineID;                  // the Mac's identifier at the panel
    Url controlURL;                         // the panel this Mac is paired with
    std::vector<Url> edgeURLs;              // edge relay WebSocket endpoints; may be empty
    std::string localHost;                  // where public traffic is forwarded on the Mac
    std::optional<std::string> vmName;      // the Lima instance, when there is one
    std::optional<std::string> transport;   // "wireguard", or absent for the edge tunnel

    // Order matters for edgeURLs; optional fields are equal only when both are absent or
    // both present and equal.
    bool operator==(const AgentConfiguration&) const = default;

    // The agent.json object: "machineID", "controlURL", "edgeURLs", "localHost", and
    // "vmName"/"transport" only when present.
    json::Json toJson() const;
    // Requires the four mandatory keys with the right types and absolute URLs, and a
    // machine ID of visible ASCII only (it travels in a header); the two optional keys
    // may be missing or null; unknown keys are ignored.
    // Throws json::DecodingError.
    static AgentConfiguration fromJson(const json::Json& object);
};

class AgentConfigurationError : public Error {
public:
    enum class Kind {
        applicationSupportUnavailable,  // "The user Application Support directory is unavailable."
        notPaired,                      // "This Mac is not paired. Run `tessaron pair` first."
    };
    explicit AgentConfigurationError(Kind kind);
    Kind kind() const noexcept { return kind_; }
    static std::string description(Kind kind);

private:
    Kind kind_;
};

namespace AgentConfigurationStore {

// TESSARON_CONFIG_PATH when set and not empty (made absolute against the working
// folder; nothing is checked), else <Application Support>/Tessaron/agent.json.
// Throws AgentConfigurationError(applicationSupportUnavailable) when there is no home.
std::filesystem::path defaultURL();

// Writes agent.json to `to` (or defaultURL()) atomically with mode 0600 from the first
// byte; missing folders are created with mode 0700. The old file stays intact when
// anything fails.
void save(const AgentConfiguration& configuration, const std::optional<std::filesystem::path>& to = std::nullopt);

// The name prefix of save()'s temporary file.
inline constexpr const char* temporaryPrefix = ".agent-";

// The largest agent.json that is read.
inline constexpr std::size_t maximumBytes = 65536;

// Reads agent.json from `from` (or defaultURL()), following a symbolic link. No file:
// AgentConfigurationError (notPaired). A file that is not regular or is larger than
// maximumBytes, and read failures, are private_file::PrivateFileError; a file that does
// not decode is a json::DecodingError naming the file. So a damaged file is never
// mistaken for an unpaired Mac.
AgentConfiguration load(const std::optional<std::filesystem::path>& from = std::nullopt);

// Deletes the file at defaultURL(); a missing file is not an error.
void forget();

}  // namespace AgentConfigurationStore

}  // namespace tessaron
