#include "host/guest_scripts.h"

#include "host/error.h"
#include "host/paths.h"
#include "host/process_runner.h"

#include <cerrno>
#include <fstream>
#include <mutex>
#include <iterator>
#include <sys/stat.h>

namespace tessaron::guest_scripts {
namespace fs = std::filesystem;
namespace {
std::mutex overrideMutex;
bool overridden = false;
std::optional<fs::path> overrideValue;

bool isFile(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}
}  // namespace

std::optional<fs::path> moduleResourcesDirectory() {
    {
        std::lock_guard lock(overrideMutex);
        if (overridden) return overrideValue;
    }
    // This file lives in core/host/; the resources sit beside it in core/resources/.
    return fs::path(__FILE__).parent_path().parent_path() / "resources";
}

void overrideModuleResourcesDirectory(std::optional<fs::path> directory) {
    std::lock_guard lock(overrideMutex);
    overridden = true;
    overrideValue = std::move(directory);
}

void clearModuleResourcesOverride() {
    std::lock_guard lock(overrideMutex);
    overridden = false;
    overrideValue.reset();
}

std::optional<fs::path> locate(const std::string& fileName) {
    if (auto resources = bundle::resourcesDirectory()) {
        fs::path candidate = *resources / fileName;
        if (isFile(candidate)) return candidate;
    }
    if (auto module = moduleResourcesDirectory()) {
        fs::path candidate = *module / fileName;
        if (isFile(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> load(const std::string& fileName) {
    auto path = locate(fileName);
    if (!path) return std::nullopt;
    const std::string name = path->filename().string();
    errno = 0;
    std::ifstream file(*path, std::ios::binary);
    if (!file) throw SystemError::fromErrno("The file \u201c" + name + "\u201d couldn\u2019t be opened", errno ? errno : EIO);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) throw SystemError::fromErrno("The file \u201c" + name + "\u201d couldn\u2019t be read", EIO);
    if (!isValidUTF8(text))
        throw Error("The file \u201c" + name + "\u201d couldn\u2019t be opened because it isn\u2019t in the correct format.");
    return text;
}

}  // namespace tessaron::guest_scripts
