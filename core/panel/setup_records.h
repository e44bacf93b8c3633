#pragma once
// The records of a panel setup (the ticket the panel hands out, its view of the setup's
// progress, the setup this Mac has started) and the one file, pending-setup.json, that
// lets a later run pick an interrupted setup up again.
//
// JSON keys are the field names. Decoding is strict: a missing required key or a value
// of the wrong type is a json::DecodingError.

#include "host/error.h"
#include "host/json.h"
#include "host/url.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tessaron {

// The error of the setup code; what() is the message shown to the user.
class SetupError : public Error {
public:
    explicit SetupError(const std::string& message) : Error(message) {}
};

struct SetupTicket {
    std::string id;
    std::string code;
    std::string deviceSecret;
    double expiresAt = 0;  // the panel's value, copied and never interpreted
    Url authorizeURL;

    json::Json toJson() const;
    static SetupTicket fromJson(const json::Json& object);
};

struct SetupProfile {
    std::string name;
    std::string chip;
    std::int64_t allocatedCpu = 0;
    double allocatedMemoryGiB = 0;

    json::Json toJson() const;
    static SetupProfile fromJson(const json::Json& object);
};

// The panel's view of one setup. Only `stage` is required; absent values are left
// out when encoding, and a null decodes as absent.
struct SetupProgress {
    std::optional<std::string> id;
    std::optional<std::string> code;
    std::optional<double> expiresAt;
    std::string stage;
    std::optional<std::string> machineId;
    std::optional<std::string> accountEmail;
    std::optional<SetupProfile> profile;
    std::optional<double> updatedAt;

    json::Json toJson() const;
    static SetupProgress fromJson(const json::Json& object);
    // Compact JSON text, and its inverse (json::DecodingError).
    std::string encode() const;
    static SetupProgress decode(std::string_view text);
};

// The setup that this Mac started and has not finished yet.
class PendingSetup {
public:
    // Keeps the four values and makes a fresh device token: "tst_" followed by 32
    // random bytes in unpadded URL-safe base64 (47 characters in all).
    PendingSetup(SetupTicket ticket, Url controlURL, std::int64_t requestedCPU, std::int64_t requestedMemoryGiB);

    SetupTicket ticket;  // a resume replaces its code and expiry
    const Url& controlURL() const { return controlURL_; }
    const std::string& deviceToken() const { return deviceToken_; }
    std::int64_t requestedCPU() const { return requestedCPU_; }
    std::int64_t requestedMemoryGiB() const { return requestedMemoryGiB_; }

    json::Json toJson() const;
    static PendingSetup fromJson(const json::Json& object);

private:
    PendingSetup() = default;
    Url controlURL_;
    std::string deviceToken_;
    std::int64_t requestedCPU_ = 0;
    std::int64_t requestedMemoryGiB_ = 0;
};

// pending-setup.json, beside agent.json. Every operation takes an optional path; none
// means the default location.
namespace SetupSessionStore {

inline constexpr const char* unsafeFileMessage =
    "The saved setup file has unsafe permissions. Your existing VM was not changed.";
inline constexpr const char* otherPanelMessage =
    "A setup for another panel is saved. Finish it before starting another setup; your VM was not changed.";

// The largest pending-setup.json that is read.
inline constexpr std::size_t maximumBytes = 65536;

// The folder of the agent configuration file with "pending-setup.json" appended.
std::filesystem::path url();

// Writes the record privately and atomically: the file has mode 0600 from its first
// byte, a new folder gets 0700, and a crash at any moment leaves either the previous
// record or the new one.
void save(const PendingSetup& setup, const std::optional<std::filesystem::path>& to = std::nullopt);

// The saved record, or nothing when there is no file (a dangling link counts as none).
// A link, a non-regular file, a file of another user or one open to group or others is
// refused with unsafeFileMessage and left in place; a file over maximumBytes is a
// private_file::PrivateFileError (badSize) and is not read; bad JSON is a
// json::DecodingError.
std::optional<PendingSetup> load(const std::optional<std::filesystem::path>& from = std::nullopt);

// load(), but a record that belongs to another panel than `controlURL` is refused with
// otherPanelMessage (a SetupError).
std::optional<PendingSetup> loadFor(const Url& controlURL, const std::optional<std::filesystem::path>& from = std::nullopt);

// Removes the record when there is one.
void finish(const std::optional<std::filesystem::path>& at = std::nullopt);

// Removes the temporary files that save() leaves beside the record when its process is
// killed in the middle (those at least a minute old). Never throws.
void sweepInterruptedWrites(const std::optional<std::filesystem::path>& at = std::nullopt) noexcept;

}  // namespace SetupSessionStore

}  // namespace tessaron
