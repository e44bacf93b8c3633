#pragma once
// Test scaffolding shared by every test program.

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace tessaron::testing {

// A fresh folder under the system's temporary folder, removed with everything in it
// when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Removes a folder whose files running processes may be removing too (a removal that finds
// a file gone reports it): tries again until the folder is gone, a hundred times at most.
// Gives the last attempt's error (none when the folder is gone).
std::error_code removeFolderBesideItsOwners(const std::filesystem::path& folder);

// Sets an environment variable (or unsets it with nullopt) for the object's lifetime.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// A private HOME for one test: a TempDir with HOME pointed at it and the Tessaron
// path overrides cleared.
class TempHome {
public:
    TempHome();
    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path supportDir() const { return dir_.path() / "Library" / "Application Support" / "Tessaron"; }

private:
    TempDir dir_;
    ScopedEnv home_;
    ScopedEnv configPath_;
    ScopedEnv credentialPath_;
};

void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

// The process runs and is not a zombie (an orphan's zombie may wait for a reaper that never
// comes here).
bool processRunning(pid_t pid);
// The process is gone, or goes within a few seconds: one that was just killed takes a moment.
bool processEnds(pid_t pid);

// Build-tree locations.
std::filesystem::path sourceDir();
std::filesystem::path buildDir();
std::filesystem::path bundleDir();                // build/Tessaron.app
std::filesystem::path standinBinDir();            // build/standins/bin
std::filesystem::path limactlPath();              // the stand-in limactl inside the bundle

}  // namespace tessaron::testing
