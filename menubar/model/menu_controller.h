#pragma once
// The menu bar's state and actions, on the main thread. It reads `tessaron server status`
// at once and then 5 seconds after each read, runs the action commands, and publishes
// the menu's rows after every change (renderMenu). Runs leave the main thread; their
// results come back to it through the event loop. The tray (app/) only shows the rows and
// forwards the user's choices; confirmations and opening pages go through interfaces, so
// tests drive all of it without a display.

#include "model/menu_command_runner.h"
#include "model/menu_rows.h"
#include "model/opener.h"

#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace tessaron::menubar {

// A two-button warning; the first button cancels.
struct MenuAlert {
    std::string message;
    std::string informativeText;
    std::string confirmButton;
};

inline const MenuAlert restartAlert{"Restart your Linux server?",
                                    "Apps and SSH sessions will be interrupted. Your files will be preserved.",
                                    "Restart server"};
inline const MenuAlert turnOffAlert{"Turn off your Linux server?",
                                    "Linux shuts down and gives its CPU and memory back to macOS. Websites, apps and "
                                    "SSH sessions stop until you start it again. Your files are kept.",
                                    "Turn off server"};

class MenuConfirming {
public:
    virtual ~MenuConfirming() = default;
    // Shows the alert modally; true when the confirming button was chosen.
    virtual bool confirm(const MenuAlert& alert) = 0;
};

class MenuController : public QObject {
    Q_OBJECT

public:
    struct Dependencies {
        std::shared_ptr<MenuCommandRunning> runner;
        desktop::Opener* opener = nullptr;
        MenuConfirming* confirmer = nullptr;
        std::filesystem::path application;  // the enclosing Tessaron.app
        std::function<double()> nowMilliseconds;  // null: the system clock
        int pollIntervalMilliseconds = 5000;
    };

    explicit MenuController(Dependencies dependencies, QObject* parent = nullptr);
    // Stops, and waits for the runs still under way to have ended their programs (about
    // the runner's grace of a second, not their time-outs).
    ~MenuController() override;

    // Starts polling: a read now, then one 5 seconds after each read has ended.
    void start();
    // Stops polling and gives up the runs still under way: their programs are ended and
    // their results dropped.
    void stop();

    // Reads the status unless a read or an action is running; `done` runs when it is over
    // (at once when it did not start).
    void refreshStatus(std::function<void()> done = {});

    // The menu's actions; each does nothing while its row is disabled.
    void togglePublicAccess();
    void keepPublicAccessOff();
    void confirmRestart();
    void togglePower();
    void openTessaron();
    void openConsole();

    const MenuRows& rows() const { return rows_; }
    const std::optional<MenuConnection>& state() const { return state_; }
    bool busy() const { return busy_; }
    bool reading() const { return reading_; }

signals:
    void rowsChanged();

private:
    void perform(const std::string& action);
    void power(const std::string& action);
    void finishAction();
    void render();
    void pollOnce();
    // Runs `arguments` off the main thread and hands the result to `then` on it.
    void runInBackground(std::vector<std::string> arguments, std::chrono::milliseconds timeout,
                         std::function<void(const MenuCommandResult&)> then);

    Dependencies dependencies_;
    QThreadPool pool_;
    std::stop_source stopRuns_;  // requested by stop(): the runs under way are given up
    QTimer pollTimer_;
    bool polling_ = false;
    bool stopped_ = false;

    std::optional<MenuConnection> state_;
    bool busy_ = false;
    bool reading_ = false;
    long revision_ = 0;  // bumped by every action; a read begun under an older one is dropped
    std::string feedback_;
    std::optional<std::string> pendingAction_;
    MenuRows rows_ = initialMenuRows();
};

}  // namespace tessaron::menubar
