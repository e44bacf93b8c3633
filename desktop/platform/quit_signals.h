#pragma once
// A request to end the program (SIGTERM from launchd, the session or `kill`, SIGINT and SIGHUP
// from a terminal) quits it the normal way: while a QuitSignals exists, each of these quits the
// application's event loop, so that the program shuts down as usual (its runs are given up and
// their programs ended) instead of dying with children still running. The menu bar has no Quit
// row at all: this is how it ends.

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace tessaron::desktop {

class QuitSignals : public QObject {
    Q_OBJECT

public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

private:
    int pair_[2] = {-1, -1};  // the handler writes to [1]; the notifier reads [0]
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tessaron::desktop
