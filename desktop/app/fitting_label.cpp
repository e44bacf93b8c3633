#include "app/fitting_label.h"

#include "app/style.h"

#include <QFontMetrics>

namespace tessaron::desktop::style {

FittingLabel::FittingLabel(double points, QFont::Weight weight, double tracking, double minimumScale, QWidget* parent)
    : QLabel(parent), points_(points), weight_(weight), tracking_(tracking), minimumScale_(minimumScale) {
    setFont(style::font(points, weight, tracking));
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setMinimumHeight(QFontMetrics(QLabel::font()).height());
}

void FittingLabel::setFullText(const QString& text) {
    full_ = text;
    setAccessibleName(text);
    fit();
}

void FittingLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    fit();
}

void FittingLabel::fit() {
    const int available = std::max(1, width());
    for (double scale = 1.0; scale >= minimumScale_ - 1e-9; scale -= 0.05) {
        const QFont candidate = style::font(points_ * scale, weight_, tracking_ * scale);
        if (QFontMetrics(candidate).horizontalAdvance(full_) <= available) {
            setFont(candidate);
            setText(full_);
            return;
        }
    }
    const QFont smallest = style::font(points_ * minimumScale_, weight_, tracking_ * minimumScale_);
    setFont(smallest);
    setText(QFontMetrics(smallest).elidedText(full_, Qt::ElideRight, available));
}

}  // namespace tessaron::desktop::style
