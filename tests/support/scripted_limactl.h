#pragma once
// A LimaManager for the instance "tessaron" over a FakeCommandRunner that expects an
// exact script of limactl calls, with the argument vectors and answers the manager's
// restart, resize and observation use.
//
//   ScriptedLimactl s({list("Stopped", 2, 4 * GiB), ok(editArgv(1, "2.0"))});
//   ... s.manager ...
//   s.verify();  // every scripted call was made, in order, and no other

#include "host/lima_manager.h"
#include "support/fake_command_runner.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tessaron::testing {

using Argv = std::vector<std::string>;

inline constexpr std::uint64_t GiB = 1ULL << 30;
inline constexpr std::uint64_t MiB = 1ULL << 20;

inline const std::string bootA = "11111111-2222-4333-8444-555555555555";
inline const std::string bootB = "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee";

inline const Argv statusArgv = {"list", "tessaron", "--format", "{{.Status}}"};
inline const Argv bootArgv = {"shell", "tessaron", "--", "cat", "/proc/sys/kernel/random/boot_id"};
inline const Argv stopArgv = {"stop", "--yes", "tessaron"};
inline const Argv startArgv = {"start", "--yes", "tessaron"};
inline const Argv listArgv = {"list", "tessaron", "--json"};

Argv editArgv(int cpus, const std::string& memory);
// The `list --json` line of the instance.
std::string listing(const std::string& status, std::int64_t cpus, std::uint64_t memory);

// One scripted limactl call: the arguments it must have and what it answers.
struct Step {
    Argv argv;
    FakeCommandRunner::Reply reply;
};

Step ok(Argv argv);
Step out(Argv argv, std::string output);
Step fail(Argv argv, std::string standardError);
Step list(const std::string& status, std::int64_t cpus, std::uint64_t memory);

struct ScriptedLimactl {
    std::shared_ptr<FakeCommandRunner> runner = std::make_shared<FakeCommandRunner>();
    LimaManager manager{"tessaron", "/lima/limactl", runner};
    std::vector<Argv> expected;

    explicit ScriptedLimactl(const std::vector<Step>& steps);
    void verify() const;
};

}  // namespace tessaron::testing
