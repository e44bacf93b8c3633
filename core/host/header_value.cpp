#include "host/header_value.h"

#include <algorithm>

namespace tessaron::header_value {

bool isSafe(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x21 && byte <= 0x7E;
    });
}

}  // namespace tessaron::header_value
