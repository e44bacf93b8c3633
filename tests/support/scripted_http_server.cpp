#include "support/scripted_http_server.h"

#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tessaron::testing {
namespace {

const char* reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

ScriptedHttpServer::ScriptedHttpServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0)
        throw std::runtime_error("cannot listen on loopback");
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

void ScriptedHttpServer::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<ScriptedHttpServer::Request> ScriptedHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedHttpServer::serve() {
    while (!stopping_) {
        pollfd entry{listener_, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0) continue;
        int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        timeval timeout{5, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        handle(connection);
        ::close(connection);
    }
}

void ScriptedHttpServer::handle(int connection) {
    std::string data;
    char buffer[4096];
    std::size_t headerEnd;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        data.append(buffer, static_cast<std::size_t>(got));
    }
    Request request;
    std::size_t lineEnd = data.find("\r\n");
    const std::string requestLine = data.substr(0, lineEnd);
    const std::size_t space1 = requestLine.find(' '), space2 = requestLine.rfind(' ');
    request.method = requestLine.substr(0, space1);
    request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
    std::size_t position = lineEnd + 2;
    while (position < headerEnd) {
        std::size_t next = data.find("\r\n", position);
        std::string line = data.substr(position, next - position);
        if (auto colon = line.find(':'); colon != std::string::npos) {
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            request.headers[lower(line.substr(0, colon))] = value;
        }
        position = next + 2;
    }
    std::size_t length = 0;
    if (auto found = request.headers.find("content-length"); found != request.headers.end())
        length = std::stoul(found->second);
    request.body = data.substr(headerEnd + 4);
    while (request.body.size() < length) {
        ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        request.body.append(buffer, static_cast<std::size_t>(got));
    }

    Handler handler;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        handler = handler_;
    }
    Response response = handler ? handler(request) : Response{404, "", {}};
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) text += name + ": " + value + "\r\n";
    text += "Content-Length: " + std::to_string(response.body.size()) + "\r\nConnection: close\r\n\r\n";
    if (request.method != "HEAD") text += response.body;
    std::size_t sent = 0;
    while (sent < text.size()) {
        ssize_t wrote = ::send(connection, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0) return;
        sent += static_cast<std::size_t>(wrote);
    }
}

}  // namespace tessaron::testing
