#include "standins/limactl/call_log.h"

#include "standins/common/call_log.h"
#include "standins/limactl/lima_home.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tessaron::standin::limactl {

void appendCall(const std::vector<std::string>& arguments) {
    try {
        appendCallLine(standinDir() / "calls.log", arguments);
    } catch (const std::runtime_error& error) {
        throw LimactlError(error.what());
    }
}

}  // namespace tessaron::standin::limactl
