#pragma once
// Random bytes straight from the kernel on every call. No generator state is kept in
// the process: fork() would duplicate it, and parent and child would then draw the
// same "random" names and secrets.

#include <cstddef>
#include <string>

namespace tessaron {

// Fills `buffer`; throws SystemError("<purpose>: <strerror>.") when the kernel refuses.
void fillRandomBytes(unsigned char* buffer, std::size_t size, const std::string& purpose);

}  // namespace tessaron
