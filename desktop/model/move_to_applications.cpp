// Installing the running bundle into an Applications folder, opening the copy and quitting.
// A copy is made beside its destination under a temporary name and renamed into place only
// when complete, so an interrupted copy never looks like an installed application.

#include "model/desktop_model.h"

#include "host/launchd_services.h"
#include "host/private_file.h"

#include <QCoreApplication>
#include <QProcess>

#include <cstring>

namespace tessaron::desktop {
namespace {

namespace fs = std::filesystem;

std::string quoted(const fs::path& path) { return "\u201C" + path.string() + "\u201D"; }

Error copyError(const fs::path& path, const std::error_code& error) {
    return Error("Could not copy " + quoted(path) + ": " + error.message() + ".");
}

// Copies the folder tree at `from` to `to` (which must not exist): folders, regular files with
// their permission bits, and symbolic links as links. Anything else stops the copy.
void copyTree(const fs::path& from, const fs::path& to) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(from, error);
    if (error) throw copyError(from, error);
    if (fs::is_symlink(status)) {
        fs::copy_symlink(from, to, error);
        if (error) throw copyError(from, error);
    } else if (fs::is_directory(status)) {
        fs::create_directory(to, error);
        if (error) throw copyError(from, error);
        for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error))
            copyTree(it->path(), to / it->path().filename());
        if (error) throw copyError(from, error);
        fs::permissions(to, status.permissions(), error);
    } else if (fs::is_regular_file(status)) {
        fs::copy_file(from, to, error);
        if (error) throw copyError(from, error);
        fs::permissions(to, status.permissions(), error);
        if (error) throw copyError(from, error);
    } else {
        throw Error(quoted(from) + " is not a file, folder or link, so it cannot be copied.");
    }
}

// Copies `bundle` to `destination` through a temporary sibling; nothing is left behind on failure.
void install(const fs::path& bundle, const fs::path& destination) {
    std::error_code error;
    fs::create_directories(destination.parent_path(), error);
    if (error) throw Error("Could not create " + quoted(destination.parent_path()) + ": " + error.message() + ".");
    const fs::path staging =
        destination.parent_path() / ("." + destination.filename().string() + "-" + private_file::randomUUID());
    try {
        copyTree(bundle, staging);
        if (fs::exists(fs::symlink_status(destination)))
            throw Error(quoted(destination) + " already exists.");
        fs::rename(staging, destination, error);
        if (error) throw Error("Could not move the copy to " + quoted(destination) + ": " + error.message() + ".");
    } catch (...) {
        fs::remove_all(staging, error);
        throw;
    }
}

struct MoveOutcome {
    std::optional<fs::path> destination;
    std::string failure;
};

std::optional<std::string> startDesktop(const fs::path& bundle) {
    const fs::path program = bundle / "Contents" / "MacOS" / "TessaronDesktop";
    if (!QProcess::startDetached(QString::fromStdString(program.string()), {}))
        return "The application " + quoted(program) + " could not be started.";
    return std::nullopt;
}

}  // namespace

std::vector<std::filesystem::path> DesktopModel::installCandidates() const {
    if (options_.installCandidates) return *options_.installCandidates;
    std::vector<fs::path> candidates;
    if (home_.empty()) return candidates;
    // Only the durable paths inside the home folder: this build never installs outside it.
    for (const auto& path : LoginService::durableBundlePaths(home_)) {
        const fs::path candidate(path);
        const auto relative = candidate.lexically_relative(home_);
        if (!relative.empty() && *relative.begin() != "..") candidates.push_back(candidate);
    }
    return candidates;
}

std::optional<std::filesystem::path> DesktopModel::installedCopy() const {
    for (const auto& candidate : installCandidates()) {
        std::error_code error;
        if (fs::exists(candidate, error)) return candidate;
    }
    return std::nullopt;
}

void DesktopModel::installToApplications() {
    if (movingApp_) return;
    set(movingApp_, true, &DesktopModel::movingAppChanged);
    set(moveError_, QString(), &DesktopModel::moveErrorChanged);

    runInBackground<MoveOutcome>(
        this,
        [bundle = bundle_, installed = installedCopy(), candidates = installCandidates()] {
            if (installed) return MoveOutcome{installed, {}};
            MoveOutcome outcome{std::nullopt, "Could not copy Tessaron into Applications."};
            for (const auto& candidate : candidates) {
                try {
                    install(bundle, candidate);
                    return MoveOutcome{candidate, {}};
                } catch (const std::exception& error) {
                    outcome.failure = error.what();
                }
            }
            return outcome;
        },
        [this](MoveOutcome outcome) {
            if (!outcome.destination) {
                set(moveError_,
                    QString::fromStdString(outcome.failure) +
                        " Drag Tessaron.app into Applications yourself, then open it from there.",
                    &DesktopModel::moveErrorChanged);
                set(movingApp_, false, &DesktopModel::movingAppChanged);
                return;
            }
            const auto failure = options_.openApplication ? options_.openApplication(*outcome.destination)
                                                          : startDesktop(*outcome.destination);
            if (failure) {
                set(moveError_,
                    QString::fromStdString("Moved to " + outcome.destination->string() +
                                           ", but it could not be opened: " + *failure),
                    &DesktopModel::moveErrorChanged);
                set(movingApp_, false, &DesktopModel::movingAppChanged);
                return;
            }
            if (options_.quit)
                options_.quit();
            else
                QCoreApplication::quit();
        });
}

}  // namespace tessaron::desktop
