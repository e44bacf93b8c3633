#include "host/random_bytes.h"

#include "host/error.h"

#include <cerrno>
#include <sys/random.h>

namespace tessaron {

void fillRandomBytes(unsigned char* buffer, std::size_t size, const std::string& purpose) {
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t n = ::getrandom(buffer + filled, size - filled, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw SystemError::fromErrno(purpose, n < 0 ? errno : EIO);
        filled += static_cast<std::size_t>(n);
    }
}

}  // namespace tessaron
