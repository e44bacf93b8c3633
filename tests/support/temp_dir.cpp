#include "support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace tessaron::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tessaron-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Make everything removable again first (tests chmod things away).
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
}

std::error_code removeFolderBesideItsOwners(const fs::path& folder) {
    std::error_code error;
    for (int i = 0; i < 100 && fs::exists(folder); ++i) fs::remove_all(folder, error);
    if (!fs::exists(folder)) error.clear();
    return error;
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    if (value) ::setenv(name_.c_str(), value->c_str(), 1);
    else ::unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
    if (previous_) ::setenv(name_.c_str(), previous_->c_str(), 1);
    else ::unsetenv(name_.c_str());
}

TempHome::TempHome()
    : home_("HOME", dir_.path().string()),
      configPath_("TESSARON_CONFIG_PATH", std::nullopt),
      credentialPath_("TESSARON_CREDENTIAL_PATH", std::nullopt) {}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool processRunning(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

bool processEnds(pid_t pid) {
    for (int i = 0; i < 500 && processRunning(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return !processRunning(pid);
}

fs::path sourceDir() { return TESSARON_SOURCE_DIR; }
fs::path buildDir() { return TESSARON_BUILD_DIR; }
fs::path bundleDir() { return TESSARON_BUNDLE_DIR; }
fs::path standinBinDir() { return TESSARON_STANDIN_BIN_DIR; }
fs::path limactlPath() { return bundleDir() / "Contents" / "Resources" / "lima" / "bin" / "limactl"; }

}  // namespace tessaron::testing
