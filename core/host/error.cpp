#include "host/error.h"

#include <cstring>

namespace tessaron {

SystemError SystemError::fromErrno(const std::string& what, int code) {
    std::string text = what + ": " + std::strerror(code);
    if (text.empty() || text.back() != '.') text += '.';
    return SystemError(text, code);
}

}  // namespace tessaron
