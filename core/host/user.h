#pragma once
// Who the current user is, as far as file ownership checks are concerned.
// Tests on a machine where everything runs as root pretend to be another user
// through ScopedUserIdOverride instead of weakening any check.

#include <optional>
#include <sys/types.h>

namespace tessaron::user {

uid_t effectiveUserId();
uid_t realUserId();

class ScopedUserIdOverride {
public:
    explicit ScopedUserIdOverride(uid_t uid);
    ~ScopedUserIdOverride();
    ScopedUserIdOverride(const ScopedUserIdOverride&) = delete;
    ScopedUserIdOverride& operator=(const ScopedUserIdOverride&) = delete;

private:
    std::optional<uid_t> previous_;
};

}  // namespace tessaron::user
