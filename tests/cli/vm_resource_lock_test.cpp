#include "cli/vm_resource_lock.h"

#include "cli/cli_options.h"
#include "host/user.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace tessaron::cli {
namespace {
namespace fs = std::filesystem;
using tessaron::testing::TempHome;

const std::string kBusy = "Another resource or connection operation is already running. Wait for it to finish.";
const std::string kUnsafe = "The VM resource-operation lock has unsafe ownership or type.";
const std::string kCannotOpen = "Could not open the VM resource-operation lock.";

// The message of the CLIError that acquire throws, or "" when it succeeds (the
// descriptor is then released at once).
std::string acquireError(bool exclusive, bool create) {
    try {
        VMResourceOperationLock::release(VMResourceOperationLock::acquire(exclusive, create));
        return "";
    } catch (const CLIError& error) {
        EXPECT_EQ(error.kind(), CLIError::Kind::pairing);
        return error.what();
    }
}

int openDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// Another process that takes the lock and holds it until told to go.
class LockHolder {
public:
    LockHolder(bool exclusive, bool unlockOnExit = true) {
        int report[2], hold[2];
        if (::pipe(report) != 0 || ::pipe(hold) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(report[0]);
            ::close(hold[1]);
            char outcome = '0';
            int fd = -1;
            try {
                fd = VMResourceOperationLock::acquire(exclusive, true);
            } catch (const CLIError& error) {
                outcome = std::string(error.what()) == kBusy ? 'b' : 'e';
            }
            (void)!::write(report[1], &outcome, 1);
            char ignored;
            (void)!::read(hold[0], &ignored, 1);  // returns when the parent closes its end
            if (unlockOnExit) VMResourceOperationLock::release(fd);
            ::_exit(0);
        }
        ::close(report[1]);
        ::close(hold[0]);
        hold_ = hold[1];
        char outcome = '?';
        (void)!::read(report[0], &outcome, 1);
        ::close(report[0]);
        acquired_ = outcome == '0';
        outcome_ = outcome;
    }
    ~LockHolder() { finish(); }
    bool acquired() const { return acquired_; }
    char outcome() const { return outcome_; }
    void finish() {
        if (pid_ <= 0) return;
        ::close(hold_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int hold_ = -1;
    bool acquired_ = false;
    char outcome_ = '?';
};

TEST(VMResourceOperationLock, MissingFileWithoutCreateProceedsUnlockedAndCreatesNothing) {
    TempHome home;
    EXPECT_EQ(VMResourceOperationLock::acquire(false, false), -1);
    EXPECT_EQ(VMResourceOperationLock::acquire(true, false), -1);
    EXPECT_FALSE(fs::exists(home.path() / "Library"));
    VMResourceOperationLock::release(-1);  // a no-op, never closes descriptor -1's neighbours
}

TEST(VMResourceOperationLock, CreatesPrivateFolderAndFileAndNeverWritesIntoIt) {
    TempHome home;
    int fd = VMResourceOperationLock::acquire(true, true);
    ASSERT_GE(fd, 0);
    VMResourceOperationLock::release(fd);
    const fs::path lock = home.supportDir() / "vm-resources.lock";
    struct stat st {};
    ASSERT_EQ(::stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(::stat(home.supportDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    // Now that the file exists, the no-create form takes a real lock.
    fd = VMResourceOperationLock::acquire(false, false);
    EXPECT_GE(fd, 0);
    VMResourceOperationLock::release(fd);
    EXPECT_TRUE(fs::exists(lock));  // never deleted
}

TEST(VMResourceOperationLock, ExistingFolderKeepsItsMode) {
    TempHome home;
    fs::create_directories(home.supportDir());
    fs::permissions(home.supportDir(), fs::perms(0755));
    VMResourceOperationLock::release(VMResourceOperationLock::acquire(false, true));
    EXPECT_EQ(fs::status(home.supportDir()).permissions(), fs::perms(0755));
}

TEST(VMResourceOperationLock, SharedHoldersCoexistAndExcludeWritersAcrossProcesses) {
    TempHome home;
    int mine = VMResourceOperationLock::acquire(false, true);
    ASSERT_GE(mine, 0);
    {
        LockHolder reader(false);
        EXPECT_TRUE(reader.acquired());
        EXPECT_EQ(acquireError(true, true), kBusy);
        LockHolder writer(true);
        EXPECT_EQ(writer.outcome(), 'b');
        VMResourceOperationLock::release(mine);
        // The other reader still holds it.
        EXPECT_EQ(acquireError(true, true), kBusy);
    }
    EXPECT_EQ(acquireError(true, true), "");
}

TEST(VMResourceOperationLock, ExclusiveHolderExcludesEveryoneIncludingItsOwnProcess) {
    TempHome home;
    {
        LockHolder writer(true);
        ASSERT_TRUE(writer.acquired());
        EXPECT_EQ(acquireError(false, true), kBusy);
        EXPECT_EQ(acquireError(true, true), kBusy);
        EXPECT_EQ(acquireError(false, false), kBusy);
    }
    // Two acquisitions in one process are independent holders.
    VMResourceLockHold shared(false, true);
    EXPECT_EQ(acquireError(true, true), kBusy);
    shared.release();
    EXPECT_EQ(acquireError(true, true), "");
}

TEST(VMResourceOperationLock, ProcessThatExitsWithoutUnlockingLeavesNoStaleLock) {
    TempHome home;
    {
        LockHolder writer(true, /*unlockOnExit=*/false);
        ASSERT_TRUE(writer.acquired());
        EXPECT_EQ(acquireError(false, true), kBusy);
    }
    EXPECT_EQ(acquireError(true, true), "");
}

TEST(VMResourceOperationLock, RefusesLinksAndFilesThatAreNotPlainOwnedFiles) {
    TempHome home;
    fs::create_directories(home.supportDir());
    const fs::path lock = home.supportDir() / "vm-resources.lock";
    const int before = openDescriptorCount();

    // A symbolic link fails the open itself, with or without create.
    tessaron::testing::writeFile(home.path() / "target", "");
    fs::create_symlink(home.path() / "target", lock);
    EXPECT_EQ(acquireError(false, true), kCannotOpen);
    EXPECT_EQ(acquireError(false, false), kCannotOpen);
    fs::remove(lock);

    // A FIFO is refused by type (and must not hang the open).
    ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
    EXPECT_EQ(acquireError(false, true), kUnsafe);
    EXPECT_EQ(acquireError(false, false), kUnsafe);
    fs::remove(lock);

    // A folder: the read-only open succeeds and the type check refuses it.
    fs::create_directory(lock);
    EXPECT_EQ(acquireError(false, false), kUnsafe);
    EXPECT_EQ(acquireError(true, true), kCannotOpen);
    fs::remove(lock);

    // A file owned by someone else.
    VMResourceOperationLock::release(VMResourceOperationLock::acquire(false, true));
    {
        user::ScopedUserIdOverride otherUser(4242);
        EXPECT_EQ(acquireError(false, true), kUnsafe);
        EXPECT_EQ(acquireError(true, false), kUnsafe);
    }
    EXPECT_EQ(acquireError(true, true), "");
    EXPECT_EQ(openDescriptorCount(), before);  // nothing leaked on any refusal
}

TEST(VMResourceOperationLock, FolderCreationFailureIsReportedAsIs) {
    // A plain file where the folder should be: the folder error comes through unchanged.
    TempHome home;
    fs::create_directories(home.supportDir().parent_path());
    tessaron::testing::writeFile(home.supportDir(), "not a folder");
    try {
        VMResourceOperationLock::acquire(false, true);
        ADD_FAILURE();
    } catch (const CLIError&) {
        ADD_FAILURE() << "folder errors are not rewritten";
    } catch (const Error& error) {
        EXPECT_NE(std::string(error.what()).find("not a folder"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace tessaron::cli
