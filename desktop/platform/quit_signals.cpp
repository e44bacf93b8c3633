#include "platform/quit_signals.h"

#include <QCoreApplication>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace tessaron::desktop {

namespace {

constexpr int quitSignals[] = {SIGTERM, SIGINT, SIGHUP};
int writeEnd = -1;  // read by the handler, which may do nothing but write(2)

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(writeEnd, &byte, 1);
}

}  // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair_) != 0) return;
    writeEnd = pair_[1];
    notifier_ = std::make_unique<QSocketNotifier>(pair_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(pair_[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : quitSignals) ::sigaction(signal, &action, nullptr);
}

QuitSignals::~QuitSignals() {
    for (int signal : quitSignals) ::signal(signal, SIG_DFL);
    notifier_.reset();
    writeEnd = -1;
    for (int fd : pair_)
        if (fd >= 0) ::close(fd);
}

}  // namespace tessaron::desktop
