#include "panel/receipt_store.h"

#include "host/paths.h"
#include "host/private_file.h"
#include "host/user.h"
#include "panel/control_panel_client.h"

#include <chrono>

namespace tessaron {
namespace {

constexpr const char* unsafeRead = "Could not safely read the restart receipt.";
constexpr const char* unsafeFile = "The restart receipt has unsafe ownership, permissions or size.";
constexpr const char* unsafeFolder = "The restart receipt folder has unsafe ownership or permissions.";
constexpr const char* notSaved = "Could not save the restart receipt. The VM was not restarted.";
constexpr const char* notPersisted = "Could not persist the restart receipt.";
constexpr const char* temporaryPrefix = ".restart-";

}  // namespace

json::Json RestartReceipt::toJson() const {
    json::Json object{{"commandID", commandID}, {"beforeBootID", beforeBootID}, {"phase", phase}};
    if (outcome) object["outcome"] = *outcome;
    if (afterBootID) object["afterBootID"] = *afterBootID;
    return object;
}

RestartReceipt RestartReceipt::fromJson(const json::Json& object) {
    return RestartReceipt{json::string(object, "commandID"), json::string(object, "beforeBootID"),
                          json::string(object, "phase"), json::optionalString(object, "outcome"),
                          json::optionalString(object, "afterBootID")};
}

json::Json VMPowerIntent::toJson() const { return json::Json{{"desired", desired}, {"setAt", setAt}}; }

VMPowerIntent VMPowerIntent::fromJson(const json::Json& object) {
    return VMPowerIntent{json::string(object, "desired"), json::number(object, "setAt")};
}

void VMPowerIntentStore::want(const std::string& desired) noexcept {
    try {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        save(VMPowerIntent{desired, std::chrono::duration<double>(now).count()});
    } catch (...) {
        // The wish is advisory; a record that cannot be written is dropped.
    }
}

bool VMPowerIntentStore::wantsStopped() noexcept {
    try {
        auto intent = load();
        return intent && intent->wantsStopped();
    } catch (...) {
        return false;
    }
}

namespace receipt_file {

std::optional<std::string> read(const std::filesystem::path& file) {
    private_file::ReadOptions options;
    options.owner = user::realUserId();
    options.maxBytes = maxBytes;
    options.allowEmpty = true;
    try {
        return private_file::read(file, options);
    } catch (const private_file::PrivateFileError& error) {
        switch (error.failure()) {
        case private_file::Failure::missing:
            return std::nullopt;
        case private_file::Failure::openFailed:
            throw LifecycleFailure(unsafeRead);
        case private_file::Failure::unsafeFile:
        case private_file::Failure::badSize:
            throw LifecycleFailure(unsafeFile);
        default:
            throw;
        }
    }
}

void write(const std::filesystem::path& file, const std::string& bytes, const std::function<void()>& checkExisting) {
    // A record larger than the reader accepts could never be read back: every later
    // load would fail and the command it tracks could never be finished.
    if (bytes.size() > maxBytes) throw LifecycleFailure(notSaved);

    const auto folder = file.parent_path();
    const uid_t owner = user::realUserId();
    try {
        private_file::createDirectories(folder);
        private_file::requirePrivateDirectory(folder, owner);
    } catch (const private_file::PrivateFileError& error) {
        if (error.failure() == private_file::Failure::unsafeDirectory) throw LifecycleFailure(unsafeFolder);
        throw;
    }
    if (checkExisting) checkExisting();

    private_file::WriteOptions options;
    options.temporaryPrefix = temporaryPrefix;
    options.createParent = false;
    options.requireDirectoryOwner = owner;
    try {
        private_file::write(file, bytes, options);
    } catch (const private_file::PrivateFileError& error) {
        switch (error.failure()) {
        case private_file::Failure::unsafeDirectory:
            throw LifecycleFailure(unsafeFolder);
        case private_file::Failure::createFailed:
            throw LifecycleFailure(notSaved);
        case private_file::Failure::writeFailed:
        case private_file::Failure::syncFailed:
        case private_file::Failure::renameFailed:
            throw LifecycleFailure(notPersisted);
        default:
            throw;
        }
    }
}

void sweepInterruptedWrites() noexcept {
    try {
        for (const auto& folder : {supportDirectory(), defaultDirectory(false), defaultDirectory(true)})
            private_file::sweepTemporaryFiles(folder, temporaryPrefix, std::chrono::minutes(1));
    } catch (...) {
        // No home folder: nothing was ever written either.
    }
}

std::filesystem::path supportDirectory() {
    auto support = paths::tessaronSupport();
    if (!support) throw AgentConfigurationError(AgentConfigurationError::Kind::applicationSupportUnavailable);
    return *support;
}

std::filesystem::path defaultDirectory(bool resourceOperation) {
    return supportDirectory() / (resourceOperation ? "resource-changes" : "lifecycle");
}

json::Json parse(const std::string& bytes) { return json::parse(bytes); }

}  // namespace receipt_file

}  // namespace tessaron
