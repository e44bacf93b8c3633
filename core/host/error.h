#pragma once
// The error type that every Tessaron failure derives from. Its text is always a
// complete sentence meant for the user ("The Linux VM disk must be at least 10 GiB."),
// so front ends print what() unchanged.

#include <stdexcept>
#include <string>

namespace tessaron {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& sentence) : std::runtime_error(sentence) {}
    const char* message() const noexcept { return what(); }
};

// An error of the operating system reported with its own text (strerror) and errno.
class SystemError : public Error {
public:
    SystemError(const std::string& sentence, int code) : Error(sentence), code_(code) {}
    int code() const noexcept { return code_; }

    // "<what>: <strerror(code)>."
    static SystemError fromErrno(const std::string& what, int code);

private:
    int code_;
};

}  // namespace tessaron
