#pragma once
// Starts the loopback edge relay `tessaron-edge` for a test and drives its admin API.

#include <string>
#include <sys/types.h>
#include <vector>

namespace tessaron::testing {

class EdgeProcess {
public:
    // Extra command-line arguments, e.g. {"--token", "t", "--tcp-target", "1234"}.
    // The relay is killed when the thread that made it ends, so make it on the test's
    // own thread.
    explicit EdgeProcess(const std::vector<std::string>& arguments = {});
    ~EdgeProcess();
    EdgeProcess(const EdgeProcess&) = delete;
    EdgeProcess& operator=(const EdgeProcess&) = delete;

    int wsPort() const { return ws_; }
    int httpPort() const { return http_; }
    int tcpPort() const { return tcp_; }
    int udpPort() const { return udp_; }
    int adminPort() const { return admin_; }
    std::string wsURL() const { return "ws://127.0.0.1:" + std::to_string(ws_) + "/tunnel"; }
    // The wss URL of the relay started with --tls-cert and --tls-key.
    std::string wssURL(const std::string& host = "localhost") const {
        return "wss://" + host + ":" + std::to_string(wss_) + "/tunnel";
    }

    // Every frame the relay received from the helper, in order.
    std::vector<std::string> frames() const;
    // The frames whose "type" is `type`.
    std::vector<std::string> frames(const std::string& type) const;
    std::string state() const;       // JSON: connections, connected, authorization, machineId, heartbeats
    int connections() const;
    bool connected() const;
    void send(const std::string& frame) const;  // to the helper, as one text frame
    void sendTogether(const std::vector<std::string>& frames) const;  // back to back
    void drop() const;                          // closes the helper's socket abruptly
    void setDelay(int milliseconds) const;

    // Polls `condition` until it holds or `seconds` pass.
    template <class Condition>
    static bool waitFor(Condition condition, double seconds = 20);

private:
    std::string admin(const std::string& method, const std::string& path, const std::string& body = "") const;
    pid_t pid_ = -1;
    int ws_ = 0, http_ = 0, tcp_ = 0, udp_ = 0, admin_ = 0, wss_ = 0;
};

void sleepBriefly();

template <class Condition>
bool EdgeProcess::waitFor(Condition condition, double seconds) {
    const int rounds = static_cast<int>(seconds * 50);
    for (int i = 0; i < rounds; ++i) {
        if (condition()) return true;
        sleepBriefly();
    }
    return condition();
}

}  // namespace tessaron::testing
