#include "host/user.h"

#include <atomic>
#include <unistd.h>

namespace tessaron::user {
namespace {
// -1 means no override.
std::atomic<long long> overrideUid{-1};
}

uid_t effectiveUserId() {
    long long value = overrideUid.load();
    return value >= 0 ? static_cast<uid_t>(value) : geteuid();
}

uid_t realUserId() {
    long long value = overrideUid.load();
    return value >= 0 ? static_cast<uid_t>(value) : getuid();
}

ScopedUserIdOverride::ScopedUserIdOverride(uid_t uid) {
    long long old = overrideUid.exchange(static_cast<long long>(uid));
    if (old >= 0) previous_ = static_cast<uid_t>(old);
}

ScopedUserIdOverride::~ScopedUserIdOverride() {
    overrideUid.store(previous_ ? static_cast<long long>(*previous_) : -1);
}

}  // namespace tessaron::user
