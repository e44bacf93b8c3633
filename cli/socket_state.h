#pragma once
// What the kernel knows of a connected TCP socket that this side is not reading or writing
// at the moment: how much of what was written the peer has acknowledged, whether
// anything waits to be read, and whether the peer has ended the connection.

#include <boost/system/error_code.hpp>

#include <cstddef>
#include <optional>

namespace tessaron::cli {

// Of the `written` bytes handed to the socket, those the peer has acknowledged (what the
// socket no longer holds); all of them where the platform does not tell.
std::size_t acknowledgedBytes(int socket, std::size_t written);

// True when nothing waits to be read on the socket: no byte, no end of data and no error.
bool nothingToRead(int socket);

// Why the connection has ended (the peer closed or reset it), or nullopt while it is up.
std::optional<boost::system::error_code> connectionEnded(int socket);

}  // namespace tessaron::cli
