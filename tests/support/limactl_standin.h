#pragma once
// A private LIMA_HOME for one test, driving the stand-in limactl. The destructor
// deletes (with -f) every instance still there, so no sshd outlives the test.

#include "host/process_runner.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <string>
#include <vector>

namespace tessaron::testing {

class StandinLimaHome {
public:
    StandinLimaHome();
    ~StandinLimaHome();
    StandinLimaHome(const StandinLimaHome&) = delete;
    StandinLimaHome& operator=(const StandinLimaHome&) = delete;

    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path instanceDir(const std::string& name) const { return dir_.path() / name; }
    std::filesystem::path guestShimDir(const std::string& name) const { return instanceDir(name) / "guest" / "bin"; }
    // Shims every instance's guest sees (may be filled before the instance exists).
    std::filesystem::path sharedGuestShimDir() const { return dir_.path() / "_standin" / "guest" / "bin"; }

    // Runs the stand-in limactl (captured) with this LIMA_HOME.
    CommandResult run(const std::vector<std::string>& arguments) const;
    // Creates and starts an instance the way LimaManager does (2 CPUs, 4 GiB, 20 GiB disk).
    CommandResult create(const std::string& name) const;

    // Replaces $LIMA_HOME/_standin/faults.json (see standins/limactl/README.md).
    void writeFaults(const std::string& json) const;
    // The argument vectors logged so far, one per call.
    std::vector<std::vector<std::string>> calls() const;
    void clearCalls() const;

    // Writes an executable shell script `name` into `dir`.
    static void writeShim(const std::filesystem::path& dir, const std::string& name, const std::string& script);

private:
    TempDir dir_;
    ScopedEnv limaHome_;
};

// The stand-in Mac's hardware (an M3 with 8 CPUs and 16 GiB) for this process and the
// programs it starts, while the object lives.
class StandinMacHardware : public ScopedEnv {
public:
    StandinMacHardware();
};

}  // namespace tessaron::testing
