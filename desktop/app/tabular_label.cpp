#include "app/tabular_label.h"

#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace tessaron::desktop::style {

namespace {

bool isDigit(QChar character) { return character >= QLatin1Char('0') && character <= QLatin1Char('9'); }

// Calls `draw(run, x, width)` for each run of the text in turn: a single digit in a cell as wide
// as the figure space, or a run of anything else at its own width.
template <typename Draw>
double walkFigures(const QString& text, const QFontMetricsF& metrics, Draw draw) {
    const double cell = metrics.horizontalAdvance(QChar(0x2007));
    double x = 0;
    for (qsizetype start = 0; start < text.size();) {
        qsizetype end = start + 1;
        if (!isDigit(text[start]))
            while (end < text.size() && !isDigit(text[end])) ++end;
        const QString run = text.mid(start, end - start);
        const double width = isDigit(text[start]) ? cell : metrics.horizontalAdvance(run);
        draw(run, x, width);
        x += width;
        start = end;
    }
    return x;
}

}  // namespace

TabularLabel::TabularLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

QSize TabularLabel::sizeHint() const {
    const QFontMetricsF metrics(font());
    const double width = walkFigures(text(), metrics, [](const QString&, double, double) {});
    const QMargins margins = contentsMargins();
    return QSize(static_cast<int>(std::ceil(width)) + margins.left() + margins.right(),
                 static_cast<int>(std::ceil(metrics.height())) + margins.top() + margins.bottom());
}

void TabularLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    const QFontMetricsF metrics(font());
    const QRectF area = contentsRect();
    const double width = walkFigures(text(), metrics, [](const QString&, double, double) {});
    const double left = alignment() & Qt::AlignRight ? area.right() + 1 - width : area.left();
    const double baseline = area.top() + (area.height() - metrics.height()) / 2 + metrics.ascent();
    walkFigures(text(), metrics, [&](const QString& run, double x, double cell) {
        const double inset = run.size() == 1 && isDigit(run[0]) ? (cell - metrics.horizontalAdvance(run)) / 2 : 0;
        painter.drawText(QPointF(left + x + inset, baseline), run);
    });
}

}  // namespace tessaron::desktop::style
