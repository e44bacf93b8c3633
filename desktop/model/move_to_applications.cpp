// Installing the running bundle into an Applications folder, opening the copy and quitting.
// A copy is made beside its destination under a temporary name and renamed into place only
// when complete, so an interrupted copy never looks like an installed application. The
// candidates are the durable bundle paths, in their order; a folder that is a link leading
// elsewhere is never copied into, and only a real bundle there counts as installed.

#include "model/desktop_model.h"

#include "host/launchd_services.h"
#include "host/private_file.h"
#include "platform/shown_text.h"

#include <QCoreApplication>
#include <QProcess>

#include <cstring>

namespace tessaron::desktop {
namespace {

namespace fs = std::filesystem;

std::string quoted(const fs::path& path) { return "\u201C" + path.string() + "\u201D"; }

// A part of the move's message that comes from outside (a copy's failure, a path): bounded here,
// where the message is put together, so that its fixed words always show whole.
QString outsidePart(std::string_view text) { return shownText(text, shownTextLimit, LineBreaks::kept); }

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

// The destination's folder must be where its path says: a link there (or above it) could send
// the application, and the background service that points at it, anywhere.
void requireFolderInPlace(const fs::path& folder) {
    std::error_code error;
    const fs::path resolved = fs::canonical(folder, error);
    if (error) throw Error("Could not open " + quoted(folder) + ": " + error.message() + ".");
    if (resolved != folder.lexically_normal())
        throw Error(quoted(folder) + " leads to " + quoted(resolved) + ", so Tessaron is not copied there.");
}

// A real Tessaron.app at `path`: a folder (not a link) with the bundle's description and program.
bool isBundle(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(fs::symlink_status(path, error)) &&
           fs::is_regular_file(fs::symlink_status(path / "Contents" / "Info.plist", error)) &&
           fs::is_regular_file(fs::symlink_status(path / "Contents" / "MacOS" / "TessaronDesktop", error));
}

// Copies `bundle` to `destination` through a temporary sibling; nothing is left behind on failure.
void install(const fs::path& bundle, const fs::path& destination) {
    std::error_code error;
    fs::create_directories(destination.parent_path(), error);
    if (error) throw Error("Could not create " + quoted(destination.parent_path()) + ": " + error.message() + ".");
    requireFolderInPlace(destination.parent_path());
    std::string stagingName = ".";
    stagingName += destination.filename().string();
    stagingName += '-';
    stagingName += private_file::randomUUID();
    const fs::path staging = destination.parent_path() / stagingName;
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
    for (const auto& path : LoginService::durableBundlePaths(home_)) candidates.emplace_back(path);
    return candidates;
}

bool DesktopModel::runsFromInstallCandidate() const {
    if (!options_.installCandidates) return !home_.empty() && LoginService::isDurablyInstalled(bundle_, home_);
    const fs::path running = bundle_.lexically_normal();
    for (const auto& candidate : *options_.installCandidates)
        if (candidate.lexically_normal() == running) return true;
    return false;
}

std::optional<std::filesystem::path> DesktopModel::installedCopy() const {
    for (const auto& candidate : installCandidates()) {
        if (!isBundle(candidate)) continue;
        try {
            requireFolderInPlace(candidate.parent_path());
            return candidate;
        } catch (const Error&) {
        }
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
                    outsidePart(outcome.failure) +
                        " Drag Tessaron.app into Applications yourself, then open it from there.",
                    &DesktopModel::moveErrorChanged);
                set(movingApp_, false, &DesktopModel::movingAppChanged);
                return;
            }
            // The copy must not find this instance still listening, hand over to it and exit
            // while this one quits: this instance gives up its endpoint first.
            if (options_.releaseInstance) options_.releaseInstance();
            const auto failure = options_.openApplication ? options_.openApplication(*outcome.destination)
                                                          : startDesktop(*outcome.destination);
            if (failure) {
                if (options_.reclaimInstance) options_.reclaimInstance();
                set(moveError_,
                    "Moved to " + outsidePart(outcome.destination->string()) + ", but it could not be opened: " +
                        outsidePart(*failure),
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
