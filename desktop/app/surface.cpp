#include "app/surface.h"

#include <QPainter>

namespace tessaron::desktop::style {

Surface::Surface(double radius, const QColor& fill, const QColor& stroke, QWidget* parent)
    : QFrame(parent), radius_(radius), fill_(fill), stroke_(stroke) {
    setAttribute(Qt::WA_StyledBackground, false);
}

void Surface::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = capsule_ ? shape.height() / 2 : radius_;
    painter.setPen(stroke_.alpha() == 0 ? QPen(Qt::NoPen) : QPen(stroke_, 1));
    painter.setBrush(fill_);
    painter.drawRoundedRect(shape, radius, radius);
}

}  // namespace tessaron::desktop::style
