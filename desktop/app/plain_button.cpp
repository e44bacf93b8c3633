#include "app/plain_button.h"

#include "app/style.h"
#include "platform/symbols.h"

#include <cmath>

namespace tessaron::desktop::style {

PlainButton::PlainButton(const std::string& text, double points, const QColor& colour, QFont::Weight weight,
                         QWidget* parent)
    : QPushButton(buttonText(text), parent), points_(points), colour_(colour) {
    setFont(style::font(points, weight));
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; color: %1; padding: 2px 0px; "
                                 "text-align: left; } QPushButton:disabled { color: %2; } "
                                 "QPushButton:pressed { color: %3; }")
                      .arg(css(colour), css(dimmed(colour)), css(QColor(0, 0, 0, 230))));
}

void PlainButton::setSymbol(std::string_view name) {
    const int size = static_cast<int>(std::lround(points_ * 1.25));
    setIcon(symbols::icon(name, size, colour_));
    setIconSize(QSize(size, size));
    setProperty("tessaronSymbol", QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
}

void PlainButton::setTitle(const std::string& text) { setText(buttonText(text)); }

}  // namespace tessaron::desktop::style
