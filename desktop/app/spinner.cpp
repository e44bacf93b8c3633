#include "app/spinner.h"

#include <QPainter>
#include <QTimer>

#include <cmath>

namespace tessaron::desktop::style {

Spinner::Spinner(int size, const QColor& colour, QWidget* parent) : QWidget(parent), timer_(new QTimer(this)), colour_(colour) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    timer_->setInterval(80);
    connect(timer_, &QTimer::timeout, this, [this] {
        phase_ = (phase_ + 1) % 8;
        update();
    });
}

void Spinner::setColour(const QColor& colour) {
    colour_ = colour;
    update();
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre = QRectF(rect()).center();
    const double outer = width() / 2.0 - 1, inner = outer * 0.45;
    for (int tick = 0; tick < 8; ++tick) {
        QColor colour = colour_;
        colour.setAlphaF(colour_.alphaF() * (0.25 + 0.75 * ((tick - phase_ + 8) % 8) / 7.0));
        painter.setPen(QPen(colour, std::max(1.5, width() / 9.0), Qt::SolidLine, Qt::RoundCap));
        const double angle = tick * M_PI / 4;
        painter.drawLine(centre + QPointF(std::cos(angle) * inner, std::sin(angle) * inner),
                         centre + QPointF(std::cos(angle) * outer, std::sin(angle) * outer));
    }
}

void Spinner::showEvent(QShowEvent*) { timer_->start(); }
void Spinner::hideEvent(QHideEvent*) { timer_->stop(); }

}  // namespace tessaron::desktop::style
