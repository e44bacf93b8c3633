// LimaManager against a scripted runner: the exact limactl argument vectors, how
// listings are read, every failure text, the limactl lookup and the download sweep.

#include "host/json.h"
#include "host/lima_manager.h"
#include "host/paths.h"
#include "support/fake_command_runner.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>

namespace tessaron {
namespace {
namespace fs = std::filesystem;
using testing::FakeCommandRunner;
using Argv = std::vector<std::string>;

constexpr std::uint64_t GiB = 1ULL << 30;
constexpr std::uint64_t MiB = 1ULL << 20;
constexpr const char* exe = "/opt/lima/bin/limactl";

struct Fixture {
    std::shared_ptr<FakeCommandRunner> runner = std::make_shared<FakeCommandRunner>();
    LimaManager manager{"tessaron", exe, runner};
};

template <typename F>
LimaManagerError captureError(F&& operation) {
    try {
        operation();
    } catch (const LimaManagerError& error) {
        return error;
    }
    ADD_FAILURE() << "no LimaManagerError was thrown";
    return LimaManagerError::commandFailed("<none>");
}

// ---------------------------------------------------------------------------------------
// Argument vectors

struct VectorCase {
    std::string label;
    std::function<void(LimaManager&)> operation;
    std::string reply;  // standard output of the one call
    Argv expected;
    bool interactive;
};

TEST(LimaManagerArguments, EveryOperationRunsItsExactVector) {
    const ResourceAllocation fourByEight{4, 8 * GiB};
    const Argv createPrefix = {"start", "--yes", "--name=tessaron", "--arch=aarch64", "--vm-type=vz",
                               "--network=vzNAT", "--rosetta=false", "--containerd=none", "--mount-none"};
    const auto create = [&](std::vector<std::string> tail) {
        Argv argv = createPrefix;
        argv.insert(argv.end(), tail.begin(), tail.end());
        return argv;
    };
    const std::vector<VectorCase> cases = {
        {"create", [&](LimaManager& m) { m.createAndStart(fourByEight, 40, std::nullopt); }, "",
         create({"--cpus=4", "--memory=8", "--disk=40"}), true},
        {"create with 10 GiB disk", [&](LimaManager& m) { m.createAndStart(fourByEight, 10); }, "",
         create({"--cpus=4", "--memory=8", "--disk=10"}), true},
        {"create, empty template", [&](LimaManager& m) { m.createAndStart(fourByEight, 20, ""); }, "",
         create({"--cpus=4", "--memory=8", "--disk=20"}), true},
        {"create, template last", [&](LimaManager& m) { m.createAndStart(fourByEight, 20, "/tmp/my vm.yaml"); },
         "", create({"--cpus=4", "--memory=8", "--disk=20", "/tmp/my vm.yaml"}), true},
        {"create, 1.5 GiB raised to 2", [&](LimaManager& m) { m.createAndStart({1, GiB + 512 * MiB}, 20); }, "",
         create({"--cpus=1", "--memory=2", "--disk=20"}), true},
        {"create, 8 GiB + 256 MiB floored", [&](LimaManager& m) { m.createAndStart({6, 8 * GiB + 256 * MiB}, 20); },
         "", create({"--cpus=6", "--memory=8", "--disk=20"}), true},
        {"create, 3.5 GiB floored", [&](LimaManager& m) { m.createAndStart({2, 3 * GiB + 512 * MiB}, 100); }, "",
         create({"--cpus=2", "--memory=3", "--disk=100"}), true},
        {"start", [](LimaManager& m) { m.start(); }, "", {"start", "--yes", "tessaron"}, true},
        {"stop", [](LimaManager& m) { m.stop(); }, "", {"stop", "tessaron"}, false},
        {"delete", [](LimaManager& m) { m.deleteInstance(); }, "", {"delete", "-f", "tessaron"}, false},
        {"shell", [](LimaManager& m) { m.shell({"uname", "-a"}); }, "", {"shell", "tessaron", "--", "uname", "-a"},
         true},
        {"shell without arguments", [](LimaManager& m) { m.shell({}); }, "", {"shell", "tessaron", "--"}, true},
        {"status", [](LimaManager& m) { EXPECT_EQ(m.status(), "Running"); }, "  Running\n",
         {"list", "tessaron", "--format", "{{.Status}}"}, false},
        {"statusIfPresent", [](LimaManager& m) { EXPECT_EQ(m.statusIfPresent(), std::nullopt); }, "",
         {"list", "--json"}, false},
        {"isBuilt", [](LimaManager& m) { EXPECT_TRUE(m.isBuilt()); }, "", {"list", "--json"}, false},
        {"allocation", [](LimaManager& m) { EXPECT_EQ(m.allocation(), (ResourceAllocation{2, 4 * GiB})); },
         R"({"status":"Running","cpus":2,"memory":4294967296})", {"list", "tessaron", "--json"}, false},
        {"resources",
         [](LimaManager& m) { EXPECT_EQ(m.resources(), (VMResourceState{"Running", {2, 4 * GiB}})); },
         R"({"status":"Running","cpus":2,"memory":4294967296})", {"list", "tessaron", "--json"}, false},
        {"sshLocalPort", [](LimaManager& m) { EXPECT_EQ(m.sshLocalPort(), 2222); }, "2222\n",
         {"list", "tessaron", "--format", "{{.SSHLocalPort}}"}, false},
        {"guestIPv4Address", [](LimaManager& m) { EXPECT_EQ(m.guestIPv4Address(), "192.168.5.15"); },
         "192.168.5.15\n",
         {"shell", "tessaron", "--", "sh", "-lc",
          "ip -4 -o addr show scope global | awk 'NR==1 {split($4,a,\"/\"); print a[1]}'"},
         false},
        {"bootID",
         [](LimaManager& m) { EXPECT_EQ(m.bootID(), "0f6c2f6e-97a4-4c3e-9d55-2b7a4c1e8f00"); },
         "0F6C2F6E-97A4-4C3E-9D55-2B7A4C1E8F00\n", {"shell", "tessaron", "--", "cat", "/proc/sys/kernel/random/boot_id"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Fixture f;
        f.runner->thenOutput(c.reply);
        c.operation(f.manager);
        ASSERT_EQ(f.runner->calls().size(), 1u);
        EXPECT_EQ(f.runner->calls()[0], (FakeCommandRunner::Call{exe, c.expected, c.interactive}));
    }
}

TEST(LimaManagerArguments, OtherInstanceNamesAreUsedVerbatim) {
    auto runner = std::make_shared<FakeCommandRunner>();
    LimaManager manager("staging-2", exe, runner);
    runner->thenSuccess().thenSuccess();
    manager.stop();
    manager.createAndStart({2, 4 * GiB}, 20);
    EXPECT_EQ(runner->argumentVectors()[0], (Argv{"stop", "staging-2"}));
    EXPECT_EQ(runner->argumentVectors()[1][2], "--name=staging-2");
}

TEST(LimaManagerArguments, DiskUnderTenGiBRunsNothing) {
    for (std::int64_t disk : {9, 0, -20}) {
        Fixture f;
        const auto error = captureError([&] { f.manager.createAndStart({2, 4 * GiB}, disk); });
        EXPECT_EQ(error, LimaManagerError::invalidDiskSize());
        EXPECT_STREQ(error.what(), "The Linux VM disk must be at least 10 GiB.");
        EXPECT_TRUE(f.runner->calls().empty());
    }
}

// ---------------------------------------------------------------------------------------
// Failures of limactl itself

struct FailureCase {
    std::string label;
    FakeCommandRunner::Reply reply;
    bool interactive;  // run through start() instead of stop()
    std::string expected;
};

TEST(LimaManagerFailures, ExitStatusAndLaunchErrorTexts) {
    using Reply = FakeCommandRunner::Reply;
    const std::string hint = " Install Lima and ensure limactl is available.";
    const std::vector<FailureCase> cases = {
        {"captured, standard error trimmed", Reply::failure(1, "\n  level=fatal msg=\"instance is not running\"\r\n"), false,
         "level=fatal msg=\"instance is not running\""},
        {"captured, standard output ignored", [] {
             auto r = Reply::failure(3, "boom");
             r.result.standardOutput = "half done";
             return r;
         }(), false, "boom"},
        {"captured, empty standard error", Reply::failure(1), false, "limactl exited with status 1."},
        {"captured, blank standard error", Reply::failure(42, " \n\t\u00A0\n"), false, "limactl exited with status 42."},
        {"captured, killed by a signal", Reply::failure(137), false, "limactl exited with status 137."},
        {"interactive, status only", Reply::failure(2, "ignored"), true, "limactl exited with status 2."},
        {"captured launch error ending in a full stop",
         Reply::launchFailure("The file \u201climactl\u201d doesn\u2019t exist."), false,
         "The file \u201climactl\u201d doesn\u2019t exist." + hint},
        {"interactive launch error ending in a full stop",
         Reply::launchFailure("You don\u2019t have permission to run \u201climactl\u201d."), true,
         "You don\u2019t have permission to run \u201climactl\u201d." + hint},
        {"launch error without a full stop", Reply::launchFailure("spawn failed"), false, "spawn failed." + hint},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Fixture f;
        f.runner->then(c.reply);
        const auto error = captureError([&] { c.interactive ? f.manager.start() : f.manager.stop(); });
        EXPECT_EQ(error, LimaManagerError::commandFailed(c.expected));
        EXPECT_EQ(error.kind(), LimaManagerError::Kind::commandFailed);
    }
}

TEST(LimaManagerFailures, MissingExecutableWithTheRealRunnerGivesOneFullStop) {
    LimaManager manager("tessaron", "/nonexistent/lima/bin/limactl");
    for (const auto& operation : std::vector<std::function<void()>>{[&] { manager.status(); }, [&] { manager.start(); }}) {
        const auto error = captureError(operation);
        EXPECT_STREQ(error.what(),
                     "The file \u201climactl\u201d doesn\u2019t exist. Install Lima and ensure limactl is available.");
    }
}

TEST(LimaManagerFailures, FixedMessagesAndEquality) {
    EXPECT_STREQ(LimaManagerError::guestAddressUnavailable().what(), "The Linux VM did not report a reachable IPv4 address.");
    EXPECT_STREQ(LimaManagerError::sshPortUnavailable().what(), "The Linux VM did not report its private SSH port.");
    EXPECT_STREQ(LimaManagerError::restartRequired().what(),
                 "Changing CPU or RAM requires a VM restart and briefly interrupts hosted services. Confirm restart, "
                 "or use --restart, to continue.");
    EXPECT_EQ(LimaManagerError::commandFailed("a"), LimaManagerError::commandFailed("a"));
    EXPECT_FALSE(LimaManagerError::commandFailed("a") == LimaManagerError::commandFailed("b"));
    EXPECT_FALSE(LimaManagerError::commandFailed("The Linux VM disk must be at least 10 GiB.") ==
                 LimaManagerError::invalidDiskSize());
}

// ---------------------------------------------------------------------------------------
// Listings

TEST(LimaManagerListing, StatusIfPresentFindsOurLine) {
    struct Case {
        std::string label;
        std::string listing;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"second line is ours",
         "{\"name\":\"default\",\"status\":\"Running\",\"dir\":\"/x\"}\n{\"name\":\"tessaron\",\"status\":\"Stopped\"}\n",
         "Stopped"},
        {"none is ours", "{\"name\":\"default\",\"status\":\"Running\"}\n", std::nullopt},
        {"nothing listed", "", std::nullopt},
        {"blank lines and CRLF", "\r\n\n{\"name\":\"tessaron\",\"status\":\"Broken\"}\r\n\r\n", "Broken"},
        {"names compare case-sensitively", "{\"name\":\"Tessaron\",\"status\":\"Running\"}", std::nullopt},
        {"first match wins", "{\"name\":\"tessaron\",\"status\":\"A\"}\n{\"name\":\"tessaron\",\"status\":\"B\"}", "A"},
        {"status kept as printed", "{\"name\":\"tessaron\",\"status\":\" Starting \",\"cpus\":4}", " Starting "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Fixture f;
        f.runner->thenOutput(c.listing);
        EXPECT_EQ(f.manager.statusIfPresent(), c.expected);
    }
}

TEST(LimaManagerListing, StatusIfPresentThrowsTheDecodingError) {
    for (const std::string listing : {
             "not json\n{\"name\":\"tessaron\",\"status\":\"Running\"}",
             "{\"name\":\"default\"}\n{\"name\":\"tessaron\",\"status\":\"Running\"}",
             "{\"name\":\"tessaron\",\"status\":3}",
             "{\"name\":\"tessaron\",\"status\":\"Running\"}\n{\"name\":\"later\"}",
             "[1,2]",
         }) {
        SCOPED_TRACE(listing);
        Fixture f;
        f.runner->thenOutput(listing);
        EXPECT_THROW(f.manager.statusIfPresent(), json::DecodingError);
    }
}

TEST(LimaManagerListing, IsBuiltAnswersTrueUnlessTheDiskIsSurelyMissing) {
    testing::TempDir temp;
    const fs::path empty = temp / "empty";
    fs::create_directories(empty);
    std::vector<std::string> diskNames = {"disk", "basedisk", "diffdisk"};
    for (const auto& name : diskNames) {
        fs::create_directories(temp / name);
        testing::writeFile(temp / name / name, "");
    }
    testing::writeFile(temp / "plain-file", "");
    const auto line = [](const std::string& name, const fs::path& dir) {
        return json::encode({{"name", name}, {"status", "Stopped"}, {"dir", dir.string()}}) + "\n";
    };

    struct Case {
        std::string label;
        FakeCommandRunner::Reply reply;
        bool expected;
    };
    using Reply = FakeCommandRunner::Reply;
    std::vector<Case> cases = {
        {"listing fails", Reply::failure(1, "boom"), true},
        {"limactl missing", Reply::launchFailure("The file \u201climactl\u201d doesn\u2019t exist."), true},
        {"not listed", Reply::output(line("default", empty)), true},
        {"folder missing", Reply::output(line("tessaron", temp / "gone")), true},
        {"folder is a file", Reply::output(line("tessaron", temp / "plain-file")), true},
        {"folder without a disk", Reply::output(line("tessaron", empty)), false},
        {"undecodable lines skipped", Reply::output("garbage\n{\"name\":\"tessaron\"}\n" + line("tessaron", empty)), false},
        {"first line naming it decides", Reply::output(line("tessaron", empty) + line("tessaron", temp / "disk")), false},
    };
    for (const auto& name : diskNames)
        cases.push_back({"folder with " + name, Reply::output(line("tessaron", temp / name)), true});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Fixture f;
        f.runner->then(c.reply);
        EXPECT_EQ(f.manager.isBuilt(), c.expected);
        EXPECT_EQ(f.runner->argumentVectors(), (std::vector<Argv>{{"list", "--json"}}));
    }
}

TEST(LimaManagerListing, AllocationAndResourcesDecodeAndCheckTheListing) {
    struct Case {
        std::string label;
        std::string listing;
        std::optional<VMResourceState> expected;  // nothing: the invalid-allocation error
    };
    const std::vector<Case> cases = {
        {"plain", R"({"name":"tessaron","status":"Stopped","cpus":4,"memory":8589934592,"disk":107374182400})",
         VMResourceState{"Stopped", {4, 8 * GiB}}},
        {"bytes not rounded", R"({"status":"Running","cpus":1,"memory":1073741825})",
         VMResourceState{"Running", {1, GiB + 1}}},
        {"exactly 1 GiB", R"({"status":"Running","cpus":1,"memory":1073741824})", VMResourceState{"Running", {1, GiB}}},
        {"no CPUs", R"({"status":"Running","cpus":0,"memory":4294967296})", std::nullopt},
        {"negative CPUs", R"({"status":"Running","cpus":-2,"memory":4294967296})", std::nullopt},
        {"half a GiB", R"({"status":"Running","cpus":2,"memory":536870912})", std::nullopt},
        {"no memory", R"({"status":"Running","cpus":2,"memory":0})", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Fixture f;
        f.runner->thenOutput(c.listing + "\n").thenOutput(c.listing);
        if (c.expected) {
            EXPECT_EQ(f.manager.resources(), *c.expected);
            EXPECT_EQ(f.manager.allocation(), c.expected->allocation);
        } else {
            const auto invalid = LimaManagerError::commandFailed("The VM returned an invalid resource allocation.");
            EXPECT_EQ(captureError([&] { f.manager.resources(); }), invalid);
            EXPECT_EQ(captureError([&] { f.manager.allocation(); }), invalid);
        }
    }
}

TEST(LimaManagerListing, AllocationDecodingErrorsPassUnchanged) {
    for (const std::string listing : {
             R"({"status":"Running","memory":4294967296})",
             R"({"status":"Running","cpus":"2","memory":4294967296})",
             R"({"status":"Running","cpus":2,"memory":-1})",
             R"({"name":"a","status":"Running","cpus":2,"memory":4294967296}
{"name":"b","status":"Running","cpus":2,"memory":4294967296})",
             "",
         }) {
        SCOPED_TRACE(listing);
        Fixture f;
        f.runner->thenOutput(listing).thenOutput(listing);
        EXPECT_THROW(f.manager.allocation(), json::DecodingError);
        EXPECT_THROW(f.manager.resources(), json::DecodingError);
    }
    Fixture f;
    f.runner->thenOutput(R"({"cpus":2,"memory":4294967296})");
    EXPECT_THROW(f.manager.resources(), json::DecodingError);  // resources() needs the status too
}

TEST(LimaManagerListing, SSHLocalPort) {
    struct Case {
        std::string printed;
        std::optional<int> expected;
    };
    const std::vector<Case> cases = {
        {"2222\n", 2222}, {"1", 1},          {"65535", 65535},        {" +22 \n", 22}, {"0", std::nullopt},
        {"65536", std::nullopt}, {"", std::nullopt}, {"\n", std::nullopt}, {"-1", std::nullopt},
        {"22a", std::nullopt},  {"+-22", std::nullopt}, {"99999999999999999999999", std::nullopt}, {"2 2", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("printed: \"" + c.printed + "\"");
        Fixture f;
        f.runner->thenOutput(c.printed);
        if (c.expected)
            EXPECT_EQ(f.manager.sshLocalPort(), *c.expected);
        else
            EXPECT_EQ(captureError([&] { f.manager.sshLocalPort(); }), LimaManagerError::sshPortUnavailable());
    }
}

TEST(LimaManagerListing, GuestAddressMustNotBeEmpty) {
    for (const std::string printed : {"", "\n", " \t\r\n"}) {
        Fixture f;
        f.runner->thenOutput(printed);
        EXPECT_EQ(captureError([&] { f.manager.guestIPv4Address(); }), LimaManagerError::guestAddressUnavailable());
    }
    Fixture f;
    f.runner->thenOutput("not-an-address\n");
    EXPECT_EQ(f.manager.guestIPv4Address(), "not-an-address");  // returned as printed
}

TEST(LimaManagerListing, BootIdentityMustBeAUUID) {
    const auto unverified = LimaManagerError::commandFailed("Could not verify the Linux server boot identity.");
    for (const std::string printed : {"", "\n", "not-a-uuid", "0f6c2f6e97a44c3e9d552b7a4c1e8f00",
                                      "0f6c2f6e-97a4-4c3e-9d55-2b7a4c1e8f0", "0f6c2f6e-97a4-4c3e-9d55-2b7a4c1e8f0g",
                                      "{0f6c2f6e-97a4-4c3e-9d55-2b7a4c1e8f00}"}) {
        SCOPED_TRACE(printed);
        Fixture f;
        f.runner->thenOutput(printed);
        EXPECT_EQ(captureError([&] { f.manager.bootID(); }), unverified);
    }
    Fixture f;
    f.runner->thenFailure(1, "instance \"tessaron\" is not running\n");
    EXPECT_EQ(captureError([&] { f.manager.bootID(); }),
              LimaManagerError::commandFailed("instance \"tessaron\" is not running"));
}

// ---------------------------------------------------------------------------------------
// Finding limactl

class BundleOverride {
public:
    explicit BundleOverride(std::optional<fs::path> bundle) { bundle::overrideMainBundle(std::move(bundle)); }
    ~BundleOverride() { bundle::clearMainBundleOverride(); }
};

std::string fallbackExecutable() {
    for (const char* path : {"/Applications/Tessaron.app/Contents/Resources/lima/bin/limactl", "/opt/homebrew/bin/limactl",
                             "/usr/local/bin/limactl"})
        if (::access(path, X_OK) == 0) return path;
    return "/opt/homebrew/bin/limactl";
}

TEST(LimaManagerExecutable, PrefersTheBundledLimactl) {
    {
        BundleOverride bundle(testing::bundleDir());
        EXPECT_EQ(fs::path(LimaManager::defaultExecutable()),
                  testing::bundleDir() / "Contents" / "Resources" / "lima" / "bin" / "limactl");
    }
    testing::TempDir temp;
    const fs::path limactl = temp / "Other.app" / "Contents" / "Resources" / "lima" / "bin" / "limactl";
    fs::create_directories(limactl.parent_path());
    testing::writeFile(limactl, "#!/bin/sh\n");
    fs::permissions(limactl, fs::perms::owner_read | fs::perms::owner_write);
    {
        BundleOverride bundle(temp / "Other.app");
        EXPECT_EQ(LimaManager::defaultExecutable(), fallbackExecutable()) << "not executable";
        fs::permissions(limactl, fs::perms::owner_all);
        EXPECT_EQ(fs::path(LimaManager::defaultExecutable()), limactl) << "read afresh on every call";
    }
    {
        BundleOverride noBundle(std::nullopt);
        EXPECT_EQ(LimaManager::defaultExecutable(), fallbackExecutable());
    }
}

// ---------------------------------------------------------------------------------------
// Interrupted downloads

TEST(LimaManagerDownloads, SweepRemovesOnlyDeadDownloadsPartialFiles) {
    testing::TempDir cache;
    const auto put = [&](const std::string& relative, std::size_t size) {
        fs::create_directories((cache / relative).parent_path());
        testing::writeFile(cache / relative, std::string(size, 'x'));
    };
    put("aaa/data.tmp.4242", 1000);          // dead download: removed
    put("aaa/data", 7);                      // finished download: kept
    put("bbb/data.tmp.5151", 300);           // still downloading: kept
    put("bbb/data.tmp..4343.part", 20);      // empty pieces dropped; pid 4343, dead: removed
    put("ccc/data.tmp", 5);                  // no pid: kept
    put("ccc/data.tmp.abc", 5);              // not a number: kept
    put("ccc/data.tmp.4294967296", 5);       // does not fit 32 bits: kept
    put("ccc/deeper/data.tmp.4242", 5);      // not descended into
    put("data.tmp.4242", 5);                 // directly in the cache: not examined
    fs::create_directories(cache / "ddd" / "data.tmp.4444");  // removal fails (not empty)
    testing::writeFile(cache / "ddd" / "data.tmp.4444" / "inner", "x");

    std::set<std::int32_t> asked;
    const auto isRunning = [&](std::int32_t pid) {
        asked.insert(pid);
        return pid == 5151;
    };
    EXPECT_EQ(LimaManager::sweepInterruptedDownloads(cache.path(), isRunning), 1020u);
    EXPECT_EQ(asked, (std::set<std::int32_t>{4242, 5151, 4343, 4444}));
    EXPECT_FALSE(fs::exists(cache / "aaa" / "data.tmp.4242"));
    EXPECT_FALSE(fs::exists(cache / "bbb" / "data.tmp..4343.part"));
    for (const char* kept : {"aaa/data", "bbb/data.tmp.5151", "ccc/data.tmp", "ccc/data.tmp.abc", "ccc/data.tmp.4294967296",
                             "ccc/deeper/data.tmp.4242", "data.tmp.4242", "ddd/data.tmp.4444/inner"})
        EXPECT_TRUE(fs::exists(cache / kept)) << kept;

    EXPECT_EQ(LimaManager::sweepInterruptedDownloads(cache / "missing", isRunning), 0u);
    EXPECT_EQ(LimaManager::sweepInterruptedDownloads(cache / "aaa" / "data", isRunning), 0u);
}

TEST(LimaManagerDownloads, DefaultLivenessCheck) {
    EXPECT_TRUE(LimaManager::processExists(static_cast<std::int32_t>(::getpid())));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_FALSE(LimaManager::processExists(static_cast<std::int32_t>(child)));

    // Someone else's process exists too: as an unprivileged user, kill(1, 0) is EPERM.
    const pid_t probe = ::fork();
    ASSERT_GE(probe, 0);
    if (probe == 0) {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
        ::_exit(LimaManager::processExists(1) ? 0 : 1);
    }
    ASSERT_EQ(::waitpid(probe, &status, 0), probe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(LimaManagerDownloads, DefaultSweepKeepsALiveProcesssFile) {
    testing::TempDir cache;
    const std::string own = "data.tmp." + std::to_string(::getpid());
    fs::create_directories(cache / "x");
    testing::writeFile(cache / "x" / own, "abc");
    EXPECT_EQ(LimaManager::sweepInterruptedDownloads(cache.path()), 0u);
    EXPECT_TRUE(fs::exists(cache / "x" / own));
}

// ---------------------------------------------------------------------------------------
// Text helpers the manager relies on

TEST(LimaManagerText, TrimSplitAndUUID) {
    EXPECT_EQ(lima_text::trimmed("\u00A0\t Running \r\n\u2028"), "Running");
    EXPECT_EQ(lima_text::trimmed("caf\u00E9"), "caf\u00E9");  // a trailing letter is not a space
    EXPECT_EQ(lima_text::trimmed(" \n "), "");
    EXPECT_EQ(lima_text::lines("a\r\nb\n\nc\rd\u2028e"), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_TRUE(lima_text::isUUID("0F6C2F6E-97a4-4c3e-9d55-2b7a4c1e8f00"));
    EXPECT_FALSE(lima_text::isUUID("0f6c2f6e-97a4-4c3e-9d552-b7a4c1e8f00"));
}

}  // namespace
}  // namespace tessaron
