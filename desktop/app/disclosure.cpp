#include "app/disclosure.h"

#include "app/style.h"

namespace tessaron::desktop::style {

Disclosure::Disclosure(const std::string& title, double points, const QColor& colour, QWidget* parent)
    : QToolButton(parent) {
    setText(buttonText(title));
    setCheckable(true);
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setArrowType(Qt::RightArrow);
    setIconSize(QSize(14, 9));  // the arrow centred in it, with room before the title
    setFont(style::font(points));
    setCursor(Qt::PointingHandCursor);
    setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; color: %1; padding: 2px 0px; } "
                                 "QToolButton:disabled { color: %2; }")
                      .arg(css(colour), css(dimmed(colour))));
    connect(this, &QToolButton::toggled, this, [this](bool open) { setArrowType(open ? Qt::DownArrow : Qt::RightArrow); });
}

}  // namespace tessaron::desktop::style
