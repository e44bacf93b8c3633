#pragma once
// The device token, kept in a private file of its own ("headless-token" beside
// agent.json, or the file named by TESSARON_CREDENTIAL_PATH). Both the per-user helper
// and the headless daemon read it from there; no Keychain is involved.
//
// The token is sent as a bearer token, so only visible ASCII is stored or handed out.
// The file holds the token's UTF-8 bytes alone (trimmed, no newline), is a regular
// file owned by the effective user with mode 0600, 1 to 65,536 bytes long, in a real
// folder owned by that user with no group or other permission bits.

#include "host/error.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace tessaron {

class DeviceCredentialError : public Error {
public:
    enum class Kind {
        missing,      // no credential file exists
        unavailable,  // the file could not be opened, created or moved into place
        invalidFile,  // empty, oversized or not UTF-8
        unsafeFile,   // wrong type, owner or permissions of the file or its folder
    };
    explicit DeviceCredentialError(Kind kind);
    Kind kind() const noexcept { return kind_; }
    static std::string description(Kind kind);

private:
    Kind kind_;
};

namespace DeviceCredentialStore {

inline constexpr std::size_t maximumBytes = 65536;
// The name prefix of the writer's temporary file.
inline constexpr const char* temporaryPrefix = ".credential-";

// TESSARON_CREDENTIAL_PATH when set and not empty (made absolute), else
// "headless-token" in the folder of AgentConfigurationStore::defaultURL() (so a
// TESSARON_CONFIG_PATH override moves it too). Errors of the latter propagate.
std::filesystem::path headlessURL();

// The token as it is saved, read back and sent: white space and newlines (Unicode's)
// removed from both ends. Text that is not UTF-8 is returned as it is.
std::string trimmedToken(const std::string& token);

// trimmedToken(token) when what is left can be saved and sent as a bearer token: 1 to
// 65,536 bytes of visible ASCII, so nothing inside it (a line break, another control
// character, a space, a non-ASCII character) could break a header line. Otherwise
// invalidFile. Every way a token reaches a header or the file goes through here, so
// that padding around a token is never refused and nothing unsafe inside it is sent.
std::string usableToken(const std::string& token);

// Stores `token` at headlessURL(). `machineID` does not take part in name or content.
void save(const std::string& token, const std::string& machineID);

// Creates the folder of `target` when missing (0700) and requires it to be private to
// the effective user (else unsafeFile): what the writer checks first, for callers that
// must know before they obtain a token that it can be saved.
void requireUsableFolder(const std::filesystem::path& target);

// The hardened writer: requireUsableFolder(), then usableToken(token), writes
// ".credential-<UUID>" exclusively with mode 0600, flushes it and renames it over the target (create or rename
// failure: unavailable). A failure leaves the old credential untouched and no
// temporary file behind. Returns the path written.
std::filesystem::path exportForHeadlessService(const std::string& token,
                                               const std::optional<std::filesystem::path>& to = std::nullopt);

// tokenFromFile(headlessURL()).
std::string load(const std::string& machineID);

// The hardened reader: no file is `missing`; a link or other open failure is
// `unavailable`; not a regular file, foreign-owned or open to group/other is
// `unsafeFile`; empty, over 65,536 bytes, or not usableToken() is `invalidFile`.
// Returns the trimmed token.
std::string tokenFromFile(const std::filesystem::path& path);

// Deletes the file at headlessURL(); a missing file is not an error.
void forget();

}  // namespace DeviceCredentialStore

}  // namespace tessaron
