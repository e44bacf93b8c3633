#pragma once
// The status item: the server icon in the system tray and its menu, showing the rows the
// controller renders and sending the user's choices back to it. No window, no taskbar entry.
#include "model/menu_controller.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

namespace tessaron::menubar {

class MenuBarTray : public QObject {
    Q_OBJECT

public:
    explicit MenuBarTray(MenuController& controller, QObject* parent = nullptr);
    void show();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Shows the rows; an open menu is kept within its screen as they change.
    void apply();
    // The usable part of the screen that the menu is open on, or would open on.
    QRect availableGeometry() const;
    // The widest row text that keeps the menu within that screen's width.
    int textRoom(const QFontMetrics& metrics) const;
    void keepOnScreen();
    QAction* addInformationRow(const char* title);
    QAction* addActionRow(const char* title, void (MenuController::*action)());

    MenuController& controller_;
    QSystemTrayIcon icon_;
    QMenu menu_;
    QPoint openedAt_;  // where the open menu was placed when it opened
    QAction* connection_;
    QAction* server_;
    QAction* publicAccess_;
    QAction* feedback_;
    QAction* access_;
    QAction* keepOff_;
    QAction* restart_;
    QAction* power_;
};

}  // namespace tessaron::menubar
