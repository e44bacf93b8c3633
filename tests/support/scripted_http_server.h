#pragma once
// A small HTTP/1.1 server on 127.0.0.1 (ephemeral port) for client tests: every
// request is answered by the test's handler, one connection at a time, and recorded.

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <atomic>

namespace tessaron::testing {

class ScriptedHttpServer {
public:
    struct Request {
        std::string method;
        std::string target;  // as sent, percent-encoding included
        std::map<std::string, std::string> headers;  // names lower-cased
        std::string body;
        std::string header(const std::string& lowerCaseName) const {
            auto found = headers.find(lowerCaseName);
            return found == headers.end() ? "" : found->second;
        }
    };
    struct Response {
        int status = 200;
        std::string body;
        std::vector<std::pair<std::string, std::string>> headers;
    };
    using Handler = std::function<Response(const Request&)>;

    explicit ScriptedHttpServer(Handler handler);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    int port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void setHandler(Handler handler);
    std::vector<Request> requests() const;

private:
    void serve();
    void handle(int connection);

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<Request> requests_;
    std::thread thread_;
};

}  // namespace tessaron::testing
