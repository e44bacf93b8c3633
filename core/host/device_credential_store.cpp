#include "host/device_credential_store.h"

#include "host/agent_configuration.h"
#include "host/header_value.h"
#include "host/private_file.h"
#include "host/process_runner.h"
#include "host/user.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace tessaron {
namespace fs = std::filesystem;

std::string DeviceCredentialError::description(Kind kind) {
    switch (kind) {
    case Kind::missing:
        return "Your saved Tessaron connection is missing. Reconnect this Mac to your account; keep your existing Linux "
               "server. No Keychain permission is needed.";
    case Kind::unavailable:
        return "Tessaron could not read or save its private connection file. Your Linux server and files have not been "
               "removed. No Keychain permission is needed.";
    case Kind::invalidFile:
        return "The Tessaron headless credential file is empty or invalid.";
    case Kind::unsafeFile:
        return "The saved Tessaron connection has unsafe file permissions or ownership. Contact support; your Linux "
               "server and files have not been removed.";
    }
    return "";
}

DeviceCredentialError::DeviceCredentialError(Kind kind) : Error(description(kind)), kind_(kind) {}

namespace DeviceCredentialStore {
namespace {

using Kind = DeviceCredentialError::Kind;
using private_file::Failure;

bool isWhitespace(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes the code point of well-formed UTF-8 starting at s[i]; sets its length.
std::uint32_t decodeAt(const std::string& s, std::size_t i, std::size_t& length) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::uint32_t code;
    if (c < 0x80) { length = 1; return c; }
    if ((c & 0xE0) == 0xC0) { length = 2; code = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { length = 3; code = c & 0x0F; }
    else { length = 4; code = c & 0x07; }
    for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return code;
}

// Trims white space and newlines from both ends of valid UTF-8 text.
std::string trimmedUTF8(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end) {
        std::size_t length = 0;
        if (!isWhitespace(decodeAt(text, begin, length))) break;
        begin += length;
    }
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        std::size_t length = 0;
        if (!isWhitespace(decodeAt(text, start, length))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace

std::string trimmedToken(const std::string& token) { return isValidUTF8(token) ? trimmedUTF8(token) : token; }

std::string usableToken(const std::string& token) {
    std::string trimmed = trimmedToken(token);
    if (trimmed.empty() || trimmed.size() > maximumBytes || !header_value::isSafe(trimmed))
        throw DeviceCredentialError(Kind::invalidFile);
    return trimmed;
}

fs::path headlessURL() {
    if (const char* value = std::getenv("TESSARON_CREDENTIAL_PATH"); value && *value) return fs::absolute(fs::path(value));
    return AgentConfigurationStore::defaultURL().parent_path() / "headless-token";
}

void save(const std::string& token, const std::string& /*machineID*/) { (void)exportForHeadlessService(token); }

void requireUsableFolder(const fs::path& target) {
    const fs::path directory = target.parent_path();
    // Creation and inspection failures propagate with the file system's own text.
    private_file::createDirectories(directory);
    try {
        private_file::requirePrivateDirectory(directory, user::effectiveUserId());
    } catch (const private_file::PrivateFileError& error) {
        if (error.failure() == Failure::unsafeDirectory) throw DeviceCredentialError(Kind::unsafeFile);
        throw;
    }
}

fs::path exportForHeadlessService(const std::string& token, const std::optional<fs::path>& to) {
    const fs::path target = to ? *to : headlessURL();
    const uid_t owner = user::effectiveUserId();

    // Folder problems are reported before token problems.
    requireUsableFolder(target);

    const std::string bytes = usableToken(token);

    private_file::WriteOptions options;
    options.temporaryPrefix = temporaryPrefix;
    options.createParent = false;
    options.requireDirectoryOwner = owner;
    try {
        private_file::write(target, bytes, options);
    } catch (const private_file::PrivateFileError& error) {
        switch (error.failure()) {
        case Failure::unsafeDirectory:
            throw DeviceCredentialError(Kind::unsafeFile);
        case Failure::createFailed:
        case Failure::renameFailed:
            throw DeviceCredentialError(Kind::unavailable);
        default:
            throw;  // write and flush errors keep their own text
        }
    }
    return target;
}

std::string load(const std::string& /*machineID*/) { return tokenFromFile(headlessURL()); }

std::string tokenFromFile(const fs::path& path) {
    private_file::ReadOptions options;
    options.owner = user::effectiveUserId();
    options.maxBytes = maximumBytes;
    options.allowEmpty = false;
    std::string bytes;
    try {
        bytes = private_file::read(path, options);
    } catch (const private_file::PrivateFileError& error) {
        switch (error.failure()) {
        case Failure::missing:
            throw DeviceCredentialError(Kind::missing);
        case Failure::openFailed:
            throw DeviceCredentialError(Kind::unavailable);
        case Failure::unsafeFile:
            throw DeviceCredentialError(Kind::unsafeFile);
        case Failure::badSize:
            throw DeviceCredentialError(Kind::invalidFile);
        default:
            throw;  // read(2) errors keep their own text
        }
    }
    return usableToken(bytes);
}

void forget() {
    const fs::path target = headlessURL();
    if (::unlink(target.c_str()) != 0) {
        int code = errno;
        if (code == ENOENT || code == ENOTDIR) return;
        throw SystemError::fromErrno("Could not remove " + target.string(), code);
    }
}

}  // namespace DeviceCredentialStore

}  // namespace tessaron
