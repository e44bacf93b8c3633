#include "panel/setup_records.h"

#include "host/agent_configuration.h"
#include "host/private_file.h"
#include "host/random_bytes.h"
#include "host/user.h"
#include "host/paths.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaron {
namespace fs = std::filesystem;

namespace {

// Whole numbers are written without a fractional part ("1700000000", not
// "1700000000.0"), as the panel itself writes them.
json::Json number(double value) {
    if (std::isfinite(value) && std::trunc(value) == value && std::fabs(value) < 9007199254740992.0)
        return static_cast<std::int64_t>(value);
    return value;
}

Url decodeURL(const json::Json& object, std::string_view key) {
    std::string text = json::string(object, key);
    auto url = Url::parse(text);
    if (!url) throw json::DecodingError("The value of \"" + std::string(key) + "\" is not a valid URL.");
    return *url;
}

std::string base64URL(const unsigned char* bytes, std::size_t count) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (count - i == 1) {
        unsigned v = bytes[i] << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
    } else if (count - i == 2) {
        unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
    }
    return out;
}

std::string makeDeviceToken() {
    unsigned char bytes[32];
    fillRandomBytes(bytes, sizeof bytes, "Could not make a device token");
    return "tst_" + base64URL(bytes, sizeof bytes);
}

fs::path resolve(const std::optional<fs::path>& given) { return given ? *given : SetupSessionStore::url(); }

}  // namespace

json::Json SetupTicket::toJson() const {
    return json::Json{{"id", id},
                      {"code", code},
                      {"deviceSecret", deviceSecret},
                      {"expiresAt", number(expiresAt)},
                      {"authorizeURL", authorizeURL.absoluteString()}};
}

SetupTicket SetupTicket::fromJson(const json::Json& object) {
    json::requireObject(object, "the setup ticket");
    SetupTicket ticket;
    ticket.id = json::string(object, "id");
    ticket.code = json::string(object, "code");
    ticket.deviceSecret = json::string(object, "deviceSecret");
    ticket.expiresAt = json::number(object, "expiresAt");
    ticket.authorizeURL = decodeURL(object, "authorizeURL");
    return ticket;
}

json::Json SetupProfile::toJson() const {
    return json::Json{{"name", name},
                      {"chip", chip},
                      {"allocatedCpu", allocatedCpu},
                      {"allocatedMemoryGiB", number(allocatedMemoryGiB)}};
}

SetupProfile SetupProfile::fromJson(const json::Json& object) {
    json::requireObject(object, "the setup profile");
    return {json::string(object, "name"), json::string(object, "chip"), json::int64(object, "allocatedCpu"),
            json::number(object, "allocatedMemoryGiB")};
}

json::Json SetupProgress::toJson() const {
    json::Json object = json::Json::object();
    if (id) object["id"] = *id;
    if (code) object["code"] = *code;
    if (expiresAt) object["expiresAt"] = number(*expiresAt);
    object["stage"] = stage;
    if (machineId) object["machineId"] = *machineId;
    if (accountEmail) object["accountEmail"] = *accountEmail;
    if (profile) object["profile"] = profile->toJson();
    if (updatedAt) object["updatedAt"] = number(*updatedAt);
    return object;
}

SetupProgress SetupProgress::fromJson(const json::Json& object) {
    json::requireObject(object, "the setup progress");
    SetupProgress progress;
    progress.id = json::optionalString(object, "id");
    progress.code = json::optionalString(object, "code");
    progress.expiresAt = json::optionalNumber(object, "expiresAt");
    progress.stage = json::string(object, "stage");
    progress.machineId = json::optionalString(object, "machineId");
    progress.accountEmail = json::optionalString(object, "accountEmail");
    if (auto found = object.find("profile"); found != object.end() && !found->is_null())
        progress.profile = SetupProfile::fromJson(*found);
    progress.updatedAt = json::optionalNumber(object, "updatedAt");
    return progress;
}

std::string SetupProgress::encode() const { return json::encode(toJson()); }

SetupProgress SetupProgress::decode(std::string_view text) { return fromJson(json::parseObject(text)); }

PendingSetup::PendingSetup(SetupTicket ticket_, Url controlURL, std::int64_t requestedCPU, std::int64_t requestedMemoryGiB)
    : ticket(std::move(ticket_)),
      controlURL_(std::move(controlURL)),
      deviceToken_(makeDeviceToken()),
      requestedCPU_(requestedCPU),
      requestedMemoryGiB_(requestedMemoryGiB) {}

json::Json PendingSetup::toJson() const {
    return json::Json{{"ticket", ticket.toJson()},
                      {"controlURL", controlURL_.absoluteString()},
                      {"deviceToken", deviceToken_},
                      {"requestedCPU", requestedCPU_},
                      {"requestedMemoryGiB", requestedMemoryGiB_}};
}

PendingSetup PendingSetup::fromJson(const json::Json& object) {
    json::requireObject(object, "the saved setup");
    PendingSetup setup;
    setup.ticket = SetupTicket::fromJson(json::object(object, "ticket"));
    setup.controlURL_ = decodeURL(object, "controlURL");
    setup.deviceToken_ = json::string(object, "deviceToken");
    setup.requestedCPU_ = json::int64(object, "requestedCPU");
    setup.requestedMemoryGiB_ = json::int64(object, "requestedMemoryGiB");
    return setup;
}

namespace SetupSessionStore {
namespace {
constexpr const char* temporaryPrefix = ".pending-setup.json.";
}

fs::path url() { return AgentConfigurationStore::defaultURL().parent_path() / "pending-setup.json"; }

void save(const PendingSetup& setup, const std::optional<fs::path>& to) {
    const fs::path target = resolve(to);
    private_file::WriteOptions options;
    options.temporaryPrefix = temporaryPrefix;
    options.createParent = true;
    private_file::write(target, json::encode(setup.toJson()), options);
}

std::optional<PendingSetup> load(const std::optional<fs::path>& from) {
    const fs::path path = resolve(from);
    // Whether a file exists is asked through links, so a dangling link counts as none;
    // the read itself never follows one.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return std::nullopt;

    private_file::ReadOptions options;
    options.owner = user::effectiveUserId();
    options.maxBytes = maximumBytes;
    std::string bytes;
    try {
        bytes = private_file::read(path, options);
    } catch (const private_file::PrivateFileError& error) {
        switch (error.failure()) {
        case private_file::Failure::missing:
            return std::nullopt;  // removed in the meantime
        case private_file::Failure::unsafeFile:
            throw SetupError(unsafeFileMessage);
        case private_file::Failure::openFailed:
            if (error.code() == ELOOP) throw SetupError(unsafeFileMessage);
            throw;
        default:
            throw;
        }
    }
    return PendingSetup::fromJson(json::parseObject(bytes));
}

std::optional<PendingSetup> loadFor(const Url& controlURL, const std::optional<fs::path>& from) {
    auto setup = load(from);
    if (setup && setup->controlURL() != controlURL) throw SetupError(otherPanelMessage);
    return setup;
}

void finish(const std::optional<fs::path>& at) {
    const fs::path path = resolve(at);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw SystemError::fromErrno("Could not remove the saved setup " + path.string(), errno);
}

void sweepInterruptedWrites(const std::optional<fs::path>& at) noexcept {
    try {
        private_file::sweepTemporaryFiles(resolve(at).parent_path(), temporaryPrefix, std::chrono::minutes(1));
    } catch (...) {
        // No place for the record: nothing was written there either.
    }
}

}  // namespace SetupSessionStore

}  // namespace tessaron
