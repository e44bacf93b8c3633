// tessaron-panel: a loopback stand-in for the web control panel.
//
//   tessaron-panel [--port N] [--state FILE] [--tls-cert FILE --tls-key FILE]
//
// Listens on 127.0.0.1 (port 0 or none: a free port) and prints one line,
// "tessaron-panel listening on http://127.0.0.1:PORT", once it accepts connections.
// With a certificate and key it also serves the same API over https on a free port and
// prints a second line, "tessaron-panel listening on https://127.0.0.1:PORT".
// Runs until it is killed (SIGINT and SIGTERM stop it cleanly).

#include "http_util.h"

#include "host/error.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

namespace {

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "tessaron-panel: " << problem
              << "\nUsage: tessaron-panel [--port N] [--state FILE] [--tls-cert FILE --tls-key FILE]" << std::endl;
    std::exit(2);
}

// The routes and limits of one listener; the plain and the https listener serve the same panel.
void serveApi(httplib::Server& server, tessaron::panel::Panel& panel) {
    using namespace tessaron::panel;
    server.set_payload_max_length(4u << 20);
    server.set_keep_alive_timeout(2);
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty() || response.has_header(faultHeader)) return httplib::Server::HandlerResponse::Unhandled;
        const std::string text = response.status == 404   ? "Not found."
                                 : response.status == 413 ? "The request body is too large."
                                                          : "The request could not be handled.";
        send(response, failure(response.status, text));
        return httplib::Server::HandlerResponse::Handled;
    }));
    registerAgentApi(server, panel);
    registerSetupApi(server, panel);
    registerReleaseApi(server, panel);
    registerAdminApi(server, panel);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tessaron::panel;
    int port = 0;
    std::optional<std::filesystem::path> stateFile;
    std::string tlsCertificate, tlsKey;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--port" || argument == "--state" || argument == "--tls-cert" || argument == "--tls-key") &&
            i + 1 >= argc)
            usage(argument + " needs a value.");
        if (argument == "--port") {
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < 0 || value > 65535) usage("--port needs a port number.");
            port = static_cast<int>(value);
        } else if (argument == "--state") {
            stateFile = argv[++i];
        } else if (argument == "--tls-cert") {
            tlsCertificate = argv[++i];
        } else if (argument == "--tls-key") {
            tlsKey = argv[++i];
        } else {
            usage("unknown argument " + argument + ".");
        }
    }

    if (tlsCertificate.empty() != tlsKey.empty()) usage("--tls-cert and --tls-key go together.");

    // Blocked in every thread; the stopper thread below waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR2);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        PanelState state(stateFile);
        Panel panel{state, {}, {}, 0};
        httplib::Server server;
        serveApi(server, panel);
        std::unique_ptr<httplib::SSLServer> secure;
        if (!tlsCertificate.empty()) {
            secure = std::make_unique<httplib::SSLServer>(tlsCertificate.c_str(), tlsKey.c_str());
            if (!secure->is_valid()) {
                std::cerr << "tessaron-panel: the TLS certificate or key could not be used." << std::endl;
                return 1;
            }
            serveApi(*secure, panel);
        }

        const int bound = port == 0 ? server.bind_to_any_port("127.0.0.1") : (server.bind_to_port("127.0.0.1", port) ? port : -1);
        if (bound <= 0) {
            std::cerr << "tessaron-panel: could not listen on 127.0.0.1";
            if (port) std::cerr << ':' << port;
            std::cerr << "." << std::endl;
            return 1;
        }
        panel.port = bound;
        const int secureBound = secure ? secure->bind_to_any_port("127.0.0.1") : 0;
        if (secure && secureBound <= 0) {
            std::cerr << "tessaron-panel: could not listen for https on 127.0.0.1." << std::endl;
            return 1;
        }
        std::cout << "tessaron-panel listening on http://127.0.0.1:" << bound << std::endl;
        if (secure) std::cout << "tessaron-panel listening on https://127.0.0.1:" << secureBound << std::endl;
        std::thread secureListener;
        // SIGINT and SIGTERM are taken by a thread of their own, which stops the server.
        // A stop that comes before a server loop runs would do nothing (the start line is
        // printed first), so the thread waits for each loop to run, or to have ended.
        std::atomic<bool> ended{false};
        std::atomic<bool> secureEnded{false};
        const auto stopWhenRunning = [](auto& listener, const std::atomic<bool>& over) {
            while (!listener.is_running() && !over) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            listener.stop();
        };
        if (secure) secureListener = std::thread([&secure, &secureEnded] {
            secure->listen_after_bind();
            secureEnded = true;
        });
        std::thread stopper([&server, &secure, &ended, &secureEnded, &stopWhenRunning, signals] {
            int received = 0;
            sigset_t wanted = signals;
            ::sigwait(&wanted, &received);
            if (received == SIGUSR2) return;
            stopWhenRunning(server, ended);
            if (secure) stopWhenRunning(*secure, secureEnded);
        });
        const bool clean = server.listen_after_bind();
        ended = true;
        ::pthread_kill(stopper.native_handle(), SIGUSR2);
        stopper.join();
        if (secureListener.joinable()) {
            stopWhenRunning(*secure, secureEnded);
            secureListener.join();
        }
        return clean ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "tessaron-panel: " << error.what() << std::endl;
        return 1;
    }
}
