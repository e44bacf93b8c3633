#pragma once
// The tunnel's sockets are opened close-on-exec, so that a program the helper starts
// (limactl) never holds the edge's connection or a local one.

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/system/error_code.hpp>

#include <vector>

namespace tessaron::cli {

void openCloseOnExec(boost::asio::ip::tcp::socket& socket, const boost::asio::ip::tcp& protocol,
                     boost::system::error_code& ec);
void openCloseOnExec(boost::asio::ip::udp::socket& socket, const boost::asio::ip::udp& protocol,
                     boost::system::error_code& ec);

// Connects to the first endpoint that accepts, each tried on a new close-on-exec socket.
// A cancellation or a time-out (the socket closed meanwhile) ends the attempts.
boost::asio::awaitable<void> connectCloseOnExec(boost::asio::ip::tcp::socket& socket,
                                                const std::vector<boost::asio::ip::tcp::endpoint>& endpoints,
                                                boost::system::error_code& ec);
// The same for a stream with a time-out: its expiry set before bounds all the attempts.
boost::asio::awaitable<void> connectCloseOnExec(boost::beast::tcp_stream& stream,
                                                const std::vector<boost::asio::ip::tcp::endpoint>& endpoints,
                                                boost::system::error_code& ec);

}  // namespace tessaron::cli
