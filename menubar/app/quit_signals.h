#pragma once
// The menu bar has no window and no Quit row: it ends when launchd, the session or a user
// sends it SIGTERM, SIGINT or SIGHUP. While a QuitSignals exists, each of these quits the
// application's event loop, so that the program shuts down as usual (its runs are given up
// and their programs ended) instead of dying with children still running.

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace tessaron::menubar {

class QuitSignals : public QObject {
    Q_OBJECT

public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

private:
    int pair_[2] = {-1, -1};  // the handler writes to [1]; the notifier reads [0]
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tessaron::menubar
