#include "app/machine_badge.h"

#include "app/style.h"
#include "platform/symbols.h"

#include <QPainter>

namespace tessaron::desktop::style {

MachineBadge::MachineBadge(QWidget* parent) : QWidget(parent) {
    setFixedSize(80 + 5 + 1, 80 + 3 + 1);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void MachineBadge::setMark(std::string_view symbolName, const QColor& symbolColour, const QColor& circleFill) {
    mark_ = QString::fromUtf8(symbolName.data(), static_cast<qsizetype>(symbolName.size()));
    markColour_ = symbolColour;
    markFill_ = circleFill;
    update();
}

void MachineBadge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF tile(0.5, 0.5, 79, 79);
    painter.setPen(QPen(black(0.07), 1));
    painter.setBrush(white(0.965));
    painter.drawRoundedRect(tile, 24, 24);
    QFont glyph = symbols::font(1);
    glyph.setPixelSize(41);
    painter.setFont(glyph);
    painter.setPen(ink());
    painter.drawText(tile, Qt::AlignCenter, symbols::text("laptopcomputer"));

    // The mark: 28 points across, centred on the tile's corner moved 5 right and 3 down, in a 3-point white ring.
    const QPointF centre(80 + 5 - 14 + 0.5, 80 + 3 - 14 + 0.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(centre, 14 + 1.5, 14 + 1.5);
    painter.setBrush(markFill_);
    painter.drawEllipse(centre, 14 - 1.5, 14 - 1.5);
    QFont markFont = symbols::font(1, QFont::DemiBold);
    markFont.setPixelSize(15);
    painter.setFont(markFont);
    painter.setPen(markColour_);
    painter.drawText(QRectF(centre.x() - 14, centre.y() - 14, 28, 28), Qt::AlignCenter,
                     symbols::text(mark_.toStdString()));
}

}  // namespace tessaron::desktop::style
