#pragma once
// The relay's secure WebSocket port: TLS is terminated here with a certificate and key
// from PEM files, and each connection is carried byte for byte to the relay's plain
// WebSocket port, so the relay serves ws and wss alike.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <string>

namespace tessaron::edge {

struct TlsFiles {
    std::string certificateChain;  // the server certificate first, then its issuers
    std::string privateKey;
};

class TlsFront {
public:
    // Listens on a free loopback port at once; throws when the files cannot be used.
    TlsFront(boost::asio::io_context& io, const TlsFiles& files, unsigned short plainPort);
    unsigned short port() const;

private:
    boost::asio::io_context& io_;
    boost::asio::ssl::context context_;
    std::shared_ptr<boost::asio::ip::tcp::acceptor> acceptor_;
    unsigned short plainPort_;
};

}  // namespace tessaron::edge
