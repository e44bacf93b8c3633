#include "standins/common/call_log.h"

#include "host/json.h"
#include "host/private_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <unistd.h>

namespace tessaron::standin {

void appendCallLine(const std::filesystem::path& file, const std::vector<std::string>& arguments) {
    private_file::createDirectories(file.parent_path());
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw std::runtime_error("cannot open " + file.string() + ": " + std::strerror(errno));
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    const std::string line = json::encode(json::Json(arguments)) + "\n";
    std::size_t written = 0;
    while (written < line.size()) {
        ssize_t n = ::write(fd, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace tessaron::standin
