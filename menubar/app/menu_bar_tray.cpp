#include "app/menu_bar_tray.h"

#include "platform/symbols.h"

#include <QApplication>
#include <QCursor>
#include <QPainter>
#include <QPalette>
#include <QPixmap>

namespace tessaron::menubar {

namespace {

constexpr int iconPixels = 64;

// The server symbol in the text colour, like a template image in a menu bar; the letters
// "TS" when the symbol font is missing.
QIcon statusIcon() {
    const QColor ink = QApplication::palette().color(QPalette::WindowText);
    QIcon icon = desktop::symbols::icon("server.rack", iconPixels, ink);
    if (!icon.isNull()) return icon;
    QPixmap pixmap(iconPixels, iconPixels);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QFont font = painter.font();
    font.setPixelSize(iconPixels / 2);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(ink);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("TS"));
    painter.end();
    return QIcon(pixmap);
}

void show(QAction* action, const MenuRow& row) {
    action->setText(QString::fromStdString(row.title));
    action->setEnabled(row.enabled);
    action->setVisible(row.visible);
}

}  // namespace

MenuBarTray::MenuBarTray(MenuController& controller, QObject* parent)
    : QObject(parent), controller_(controller) {
    connection_ = addInformationRow("");
    server_ = addInformationRow("");
    publicAccess_ = addInformationRow("");
    feedback_ = addInformationRow("");
    menu_.addSeparator();
    access_ = addActionRow("", &MenuController::togglePublicAccess);
    keepOff_ = addActionRow("", &MenuController::keepPublicAccessOff);
    restart_ = addActionRow("", &MenuController::confirmRestart);
    power_ = addActionRow("", &MenuController::togglePower);
    menu_.addSeparator();
    addActionRow("Open Tessaron", &MenuController::openTessaron);
    addActionRow("Open web panel", &MenuController::openConsole);

    icon_.setIcon(statusIcon());
    icon_.setContextMenu(&menu_);
    // A click opens the menu below the icon, as a status item's drops from the menu bar
    // (Qt keeps it on the screen).
    connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger) return;
        const QRect placed = icon_.geometry();
        menu_.popup(placed.isValid() ? QPoint(placed.left(), placed.bottom() + 1) : QCursor::pos());
    });
    connect(&controller_, &MenuController::rowsChanged, this, &MenuBarTray::apply);
    apply();
}

QAction* MenuBarTray::addInformationRow(const char* title) {
    QAction* action = menu_.addAction(QString::fromUtf8(title));
    action->setEnabled(false);
    return action;
}

QAction* MenuBarTray::addActionRow(const char* title, void (MenuController::*method)()) {
    QAction* action = menu_.addAction(QString::fromUtf8(title));
    connect(action, &QAction::triggered, &controller_, method);
    return action;
}

void MenuBarTray::show() { icon_.show(); }

void MenuBarTray::apply() {
    const MenuRows& rows = controller_.rows();
    tessaron::menubar::show(connection_, rows.connection);
    tessaron::menubar::show(server_, rows.server);
    tessaron::menubar::show(publicAccess_, rows.publicAccess);
    tessaron::menubar::show(feedback_, rows.feedback);
    tessaron::menubar::show(access_, rows.access);
    tessaron::menubar::show(keepOff_, rows.keepOff);
    tessaron::menubar::show(restart_, rows.restart);
    tessaron::menubar::show(power_, rows.power);
    icon_.setToolTip(QString::fromStdString(rows.tooltip));
}

}  // namespace tessaron::menubar
