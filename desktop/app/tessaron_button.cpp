#include "app/tessaron_button.h"

#include "app/spinner.h"
#include "app/style.h"
#include "platform/symbols.h"

#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

#include <cmath>

namespace tessaron::desktop::style {

TessaronButton::TessaronButton(const std::string& text, bool primary, QWidget* parent)
    : QAbstractButton(parent), primary_(primary) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    row_ = new QHBoxLayout(this);
    row_->setContentsMargins(16, 13, 16, 13);
    row_->setSpacing(8);
    before_ = new QWidget(this);
    before_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    before_->hide();
    row_->addWidget(before_, 1);
    spinner_ = new Spinner(14, Qt::white, this);
    spinner_->hide();
    leading_ = new QLabel(this);
    leading_->hide();
    text_ = new QLabel(this);
    text_->setFont(style::font(13, QFont::Medium));
    space_ = new QWidget(this);
    space_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    space_->hide();
    trailing_ = new QLabel(this);
    trailing_->hide();
    for (QWidget* part : {static_cast<QWidget*>(spinner_), static_cast<QWidget*>(leading_),
                          static_cast<QWidget*>(text_), space_, static_cast<QWidget*>(trailing_)}) {
        part->setAttribute(Qt::WA_TransparentForMouseEvents);
        row_->addWidget(part, part == space_ ? 1 : 0, Qt::AlignVCenter);
    }
    setTitle(text);
    restyle();
}

void TessaronButton::setPrimary(bool primary) {
    if (primary_ == primary) return;
    primary_ = primary;
    restyle();
}

void TessaronButton::setTitle(const std::string& text) {
    text_->setText(qs(text));
    setText(qs(text));
    setAccessibleName(qs(text));
    updateGeometry();
}

QString TessaronButton::title() const { return text_->text(); }

void TessaronButton::setLeadingSymbol(std::string_view name, double points) {
    leading_->setFont([&] {
        QFont glyph = symbols::font(1, QFont::Medium);
        glyph.setPixelSize(static_cast<int>(std::lround(points * 1.2)));
        return glyph;
    }());
    setSymbol(leading_, name);
}

void TessaronButton::setTrailingSymbol(std::string_view name) {
    QFont glyph = symbols::font(1, QFont::Medium);
    glyph.setPixelSize(16);
    trailing_->setFont(glyph);
    setSymbol(trailing_, name);
    trailing_->setProperty("tessaronBusyHidden", false);
}

void TessaronButton::setBusy(bool busy) {
    spinner_->setVisible(busy);
    // A trailing spinner stands in for the trailing symbol.
    if (row_->indexOf(spinner_) == row_->count() - 1 && !trailing_->text().isEmpty()) trailing_->setVisible(!busy);
    setProperty("tessaronBusy", busy);
}

void TessaronButton::setSpinnerTrailing() {
    row_->removeWidget(spinner_);
    row_->addWidget(spinner_, 0, Qt::AlignVCenter);
}

bool TessaronButton::busy() const { return property("tessaronBusy").toBool(); }

void TessaronButton::setStretched(bool stretched) {
    space_->setVisible(stretched);
    setSizePolicy(stretched ? QSizePolicy::Expanding : QSizePolicy::Maximum, QSizePolicy::Fixed);
}

void TessaronButton::setCentred() {
    setStretched(true);
    before_->show();
}

void TessaronButton::setMinimumLabelHeight(int points) {
    row_->setContentsMargins(16, 13, 16, 13);
    text_->setMinimumHeight(points);
}

QSize TessaronButton::sizeHint() const { return row_->sizeHint(); }
QSize TessaronButton::minimumSizeHint() const { return row_->minimumSize(); }

void TessaronButton::restyle() {
    const QColor foreground = primary_ ? QColor(Qt::white) : white(0.22);
    const QString sheet = QStringLiteral("color: %1; background: transparent;").arg(css(foreground));
    for (QLabel* part : {leading_, text_, trailing_}) part->setStyleSheet(sheet);
    spinner_->setColour(primary_ ? QColor(255, 255, 255, 220) : QColor(0, 0, 0, 150));
    update();
}

void TessaronButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(primary_ ? white(1, 0.2) : black(0.1), 1));
    painter.setBrush(primary_ ? white(0.14) : white(1, 0.8));
    painter.drawRoundedRect(shape, 11, 11);
    if (hasFocus() && focusPolicy() != Qt::NoFocus && property("tessaronShowFocus").toBool()) {
        painter.setPen(QPen(QColor(10, 130, 255, 160), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(shape.adjusted(1, 1, -1, -1), 10, 10);
    }
}

bool TessaronButton::event(QEvent* event) {
    const bool handled = QAbstractButton::event(event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Leave:
    case QEvent::EnabledChange: {
        // Pressed: 75 %; disabled: the platform's dimming on top of the same look.
        const double opacity = (isDown() ? 0.75 : 1.0) * (isEnabled() ? 1.0 : 0.45);
        if (opacity >= 1.0) {
            setGraphicsEffect(nullptr);
        } else {
            auto* effect = qobject_cast<QGraphicsOpacityEffect*>(graphicsEffect());
            if (!effect) {
                effect = new QGraphicsOpacityEffect(this);
                setGraphicsEffect(effect);
            }
            effect->setOpacity(opacity);
        }
        break;
    }
    default: break;
    }
    return handled;
}

void TessaronButton::changeEvent(QEvent* event) { QAbstractButton::changeEvent(event); }

}  // namespace tessaron::desktop::style
