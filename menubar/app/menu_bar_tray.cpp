#include "app/menu_bar_tray.h"

#include "platform/symbols.h"

#include <QApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QScreen>

#include <algorithm>
#include <utility>

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

// A row shown as a menu item, its text no wider than `room` pixels ("…" where it is cut).
// The text is shown as written: a single "&" would mark a keyboard shortcut and vanish, and
// a tab would start a shortcut column (rows carry none: their texts are escaped).
void show(QAction* action, const MenuRow& row, int room, const QFontMetrics& metrics) {
    const QString fitted = metrics.elidedText(QString::fromStdString(row.title), Qt::ElideRight, room);
    action->setText(QString(fitted).replace(u'&', QStringLiteral("&&")));
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
    menu_.installEventFilter(this);
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
    const QFontMetrics metrics(menu_.font());
    const int room = textRoom(metrics);
    const std::pair<QAction*, const MenuRow*> shown[] = {
        {connection_, &rows.connection}, {server_, &rows.server},   {publicAccess_, &rows.publicAccess},
        {feedback_, &rows.feedback},     {access_, &rows.access},   {keepOff_, &rows.keepOff},
        {restart_, &rows.restart},       {power_, &rows.power}};
    for (const auto& [action, row] : shown) tessaron::menubar::show(action, *row, room, metrics);
    keepOnScreen();
    // Set only when it changes: the rows are rendered at every read, and a tray host may hide
    // or drop a tooltip that is set again.
    const QString tooltip = QString::fromStdString(rows.tooltip);
    if (icon_.toolTip() != tooltip) icon_.setToolTip(tooltip);
}

QRect MenuBarTray::availableGeometry() const {
    QScreen* screen = menu_.isVisible() ? menu_.screen() : QGuiApplication::screenAt(icon_.geometry().center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

int MenuBarTray::textRoom(const QFontMetrics& metrics) const {
    const QRect available = availableGeometry();
    if (!available.isValid()) return QWIDGETSIZE_MAX;
    // The menu is as wide as its widest text and what it draws around every row (margins,
    // the check column), which that widest row tells.
    int widest = 0;
    for (const QAction* action : menu_.actions())
        if (action->isVisible() && !action->isSeparator())
            widest = std::max(widest, metrics.size(Qt::TextShowMnemonic, action->text()).width());
    return std::max(available.width() - (menu_.sizeHint().width() - widest), metrics.averageCharWidth() * 10);
}

bool MenuBarTray::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &menu_ && event->type() == QEvent::Show) openedAt_ = menu_.pos();
    return QObject::eventFilter(watched, event);
}

void MenuBarTray::keepOnScreen() {
    if (!menu_.isVisible()) return;
    // An open menu keeps the corner it opened at as it grows and shrinks, moved only as far
    // as it takes to stay on its screen.
    const QRect available = availableGeometry();
    QRect placed(openedAt_, menu_.sizeHint());
    placed.moveRight(std::min(placed.right(), available.right()));
    placed.moveBottom(std::min(placed.bottom(), available.bottom()));
    placed.moveLeft(std::max(placed.left(), available.left()));
    placed.moveTop(std::max(placed.top(), available.top()));
    if (placed != menu_.geometry()) menu_.setGeometry(placed);
}

}  // namespace tessaron::menubar
