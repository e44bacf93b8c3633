#pragma once
// The cross-process lock around work on the one Linux VM: an advisory flock on
// ~/Library/Application Support/Tessaron/vm-resources.lock. Readers of VM state take
// it shared, anything that changes the VM takes it exclusive. It never waits: a
// conflicting request fails at once and the caller reports it or tries again later.
//
// A held lock is just the open descriptor; the caller releases it with release() (or
// lets a VMResourceLockHold do so) on every path.

namespace tessaron::cli {

namespace VMResourceOperationLock {

// Returns a descriptor that holds the lock, or -1 when `create` is false and the lock
// file does not exist yet (nobody ever took it, so the caller proceeds unlocked).
// Throws CLIError::pairing with the lock's messages, or the folder creation's own
// error. No descriptor is left open when it throws.
int acquire(bool exclusive, bool create);

// flock(LOCK_UN) then close, only for a descriptor that is not negative.
void release(int fd) noexcept;

}  // namespace VMResourceOperationLock

// Owns an acquired lock descriptor and releases it when it goes away.
class VMResourceLockHold {
public:
    VMResourceLockHold(bool exclusive, bool create) : fd_(VMResourceOperationLock::acquire(exclusive, create)) {}
    ~VMResourceLockHold() { release(); }
    VMResourceLockHold(const VMResourceLockHold&) = delete;
    VMResourceLockHold& operator=(const VMResourceLockHold&) = delete;

    int descriptor() const noexcept { return fd_; }
    // Releases now; later calls and the destructor do nothing.
    void release() noexcept {
        VMResourceOperationLock::release(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

}  // namespace tessaron::cli
