#include "host/helper_lease.h"

#include "host/sha256.h"
#include "host/user.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using Kind = SupervisorError::Kind;

const std::string alreadyRunning = "A connection helper is already running for this Mac. No second helper was started.";
const std::string lockUnavailable = "Could not open the connection-helper lock.";

AgentConfiguration pairing(const std::string& control, const std::string& machineID) {
    AgentConfiguration configuration;
    configuration.machineID = machineID;
    configuration.controlURL = Url::parse(control).value();
    configuration.localHost = "127.0.0.1";
    return configuration;
}

// The error kind the lease throws, or nothing when it was taken (and released again).
std::optional<Kind> leaseError(const AgentConfiguration& configuration, const fs::path& directory) {
    try {
        AgentSupervisorLease lease(configuration, directory);
        return std::nullopt;
    } catch (const SupervisorError& error) {
        EXPECT_EQ(error.what(), SupervisorError::description(error.kind()));
        return error.kind();
    }
}

TEST(AgentSupervisorLease, OneLeasePerPairing) {
    testing::TempDir dir;
    const fs::path agents = dir / "nested/agents";
    const auto mac = pairing("https://panel.example.com", "machine-1");
    {
        AgentSupervisorLease first(mac, agents);
        EXPECT_GE(first.descriptor(), 0);
        try {
            AgentSupervisorLease second(mac, agents);
            ADD_FAILURE() << "a second lease for the same pairing was taken";
        } catch (const SupervisorError& error) {
            EXPECT_EQ(error.kind(), Kind::alreadyRunning);
            EXPECT_STREQ(error.what(), alreadyRunning.c_str());
        }
        // Another machine, or another spelling of the panel's address, is another pairing.
        AgentSupervisorLease other(pairing("https://panel.example.com", "machine-2"), agents);
        AgentSupervisorLease slash(pairing("https://panel.example.com/", "machine-1"), agents);
    }
    EXPECT_FALSE(leaseError(mac, agents));  // released with the first lease

    EXPECT_EQ(fs::status(dir / "nested").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(agents).permissions() & fs::perms::all, fs::perms::owner_all);
    const fs::path lock = AgentSupervisorLease::lockPath(mac, agents);
    EXPECT_EQ(lock, agents / (sha256Hex("https://panel.example.com\nmachine-1") + ".lock"));
    EXPECT_EQ(lock.filename().string().size(), 64u + 5u);
    EXPECT_NE(AgentSupervisorLease::lockPath(pairing("https://panel.example.com/", "machine-1"), agents), lock);
    EXPECT_EQ(fs::status(lock).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::file_size(lock), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(agents), fs::directory_iterator()), 3);
}

TEST(AgentSupervisorLease, DefaultFolderIsUnderHomeNotTheConfigurationPath) {
    testing::TempHome home;
    testing::TempDir elsewhere;
    testing::ScopedEnv config("TESSARON_CONFIG_PATH", (elsewhere / "agent.json").string());
    const auto mac = pairing("https://panel.example.com", "m");
    EXPECT_EQ(AgentSupervisorLease::defaultDirectory(), home.supportDir() / "agents");
    AgentSupervisorLease lease(mac);
    EXPECT_TRUE(fs::is_regular_file(AgentSupervisorLease::lockPath(mac, home.supportDir() / "agents")));
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));
}

TEST(AgentSupervisorLease, RefusesLockFilesItCannotTrust) {
    testing::TempDir dir;
    const auto mac = pairing("https://panel.example.com", "machine-1");
    const fs::path lock = AgentSupervisorLease::lockPath(mac, dir.path());

    // A symbolic link is not followed, and its target is left alone.
    fs::create_symlink(dir / "target", lock);
    EXPECT_EQ(leaseError(mac, dir.path()), Kind::lockUnavailable);
    EXPECT_FALSE(fs::exists(dir / "target"));
    fs::remove(lock);

    // A folder in its place cannot be opened.
    fs::create_directory(lock);
    EXPECT_EQ(leaseError(mac, dir.path()), Kind::lockUnavailable);
    fs::remove(lock);

    // A FIFO opens but is no regular file.
    ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
    EXPECT_EQ(leaseError(mac, dir.path()), Kind::alreadyRunning);
    fs::remove(lock);

    // A lock file of another user.
    testing::writeFile(lock, "");
    ASSERT_EQ(::chown(lock.c_str(), 4242, 4242), 0);
    EXPECT_EQ(leaseError(mac, dir.path()), Kind::alreadyRunning);
    ASSERT_EQ(::chown(lock.c_str(), ::getuid(), ::getgid()), 0);
    EXPECT_FALSE(leaseError(mac, dir.path()));
    {
        // The same file seen by a user other than its owner.
        user::ScopedUserIdOverride otherUser(4242);
        EXPECT_EQ(leaseError(mac, dir.path()), Kind::alreadyRunning);
    }

    // A folder that cannot be created is the file system's error.
    testing::writeFile(dir / "file", "");
    try {
        AgentSupervisorLease lease(mac, dir / "file" / "agents");
        ADD_FAILURE() << "a lease under a regular file";
    } catch (const SupervisorError&) {
        ADD_FAILURE() << "a folder error reported as a lock error";
    } catch (const SystemError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Could not create the folder", 0), 0u) << error.what();
    }
}

TEST(AgentSupervisorLease, RealNonRootUserCannotTakeAnotherUsersLock) {
    testing::TempDir dir;
    const auto mac = pairing("https://panel.example.com", "machine-1");
    fs::permissions(dir.path(), fs::perms::all);
    { AgentSupervisorLease lease(mac, dir.path()); }  // the lock file now belongs to this (root) user

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(20);
        if (::setgid(4242) != 0 || ::setuid(4242) != 0) ::_exit(2);
        try {
            AgentSupervisorLease lease(mac, dir.path());
            ::_exit(0);
        } catch (const SupervisorError& error) {
            ::_exit(error.kind() == Kind::lockUnavailable ? 10 : 11);
        } catch (...) {
            ::_exit(12);
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    // A 0600 lock file of root cannot be opened by another user.
    if (::getuid() == 0) {
        EXPECT_EQ(WEXITSTATUS(status), 10);
    }
}

TEST(AgentSupervisorLease, OnlyOneOfTwoRacingHelpersWins) {
    testing::TempDir dir;
    const auto mac = pairing("https://panel.example.com", "racing");
    for (int round = 0; round < 5; ++round) {
        int start[2], hold[2], results[2][2];
        ASSERT_EQ(::pipe(start), 0);
        ASSERT_EQ(::pipe(hold), 0);
        pid_t children[2];
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(::pipe(results[i]), 0);
            children[i] = ::fork();
            ASSERT_GE(children[i], 0);
            if (children[i] == 0) {
                ::alarm(20);  // never outlive a stuck test
                ::close(start[1]);
                ::close(hold[1]);
                char byte;
                (void)::read(start[0], &byte, 1);  // both start when the parent closes the pipe
                std::string outcome;
                std::optional<AgentSupervisorLease> lease;
                try {
                    lease.emplace(mac, dir.path());
                    outcome = "won";
                } catch (const std::exception& error) {
                    outcome = error.what();
                }
                (void)::write(results[i][1], outcome.data(), outcome.size());
                ::close(results[i][1]);
                (void)::read(hold[0], &byte, 1);  // the winner keeps the lease until released
                ::_exit(0);
            }
            ::close(results[i][1]);
        }
        ::close(start[0]);
        ::close(hold[0]);
        ::close(start[1]);
        std::vector<std::string> outcomes;
        for (int i = 0; i < 2; ++i) {
            std::string text;
            char chunk[256];
            ssize_t got;
            while ((got = ::read(results[i][0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(got));
            ::close(results[i][0]);
            outcomes.push_back(text);
        }
        ::close(hold[1]);
        for (pid_t child : children) {
            int status = 0;
            ::waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        std::sort(outcomes.begin(), outcomes.end());
        EXPECT_EQ(outcomes, (std::vector<std::string>{alreadyRunning, "won"})) << "round " << round;
    }
}

}  // namespace
}  // namespace tessaron
