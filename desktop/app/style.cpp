#include "app/style.h"

#include "platform/symbols.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QStyleFactory>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace tessaron::desktop::style {

namespace {

int level(double value) { return static_cast<int>(std::lround(value * 255.0)); }

// The first installed family of the preferred interface fonts.
QString family(bool monospaced) {
    static const QString sans = [] {
        const QStringList installed = QFontDatabase::families();
        for (const char* name : {"Inter", "Noto Sans", "DejaVu Sans"})
            if (installed.contains(QString::fromLatin1(name))) return QString::fromLatin1(name);
        return QString();
    }();
    static const QString mono = [] {
        const QStringList installed = QFontDatabase::families();
        for (const char* name : {"DejaVu Sans Mono", "Noto Sans Mono"})
            if (installed.contains(QString::fromLatin1(name))) return QString::fromLatin1(name);
        return QString();
    }();
    return monospaced ? mono : sans;
}

// The labels that label() makes. One marked as showing outside text asks for no minimum width,
// so that a long unbroken word is cut at its edge rather than widening the window, while it
// still asks for its natural width, which it gets wherever its row has room.
class TextLabel : public QLabel {
public:
    using QLabel::QLabel;
    QSize minimumSizeHint() const override {
        const QSize hint = QLabel::minimumSizeHint();
        return property("tessaronOutsideText").toBool() ? QSize(0, hint.height()) : hint;
    }
};

QString richText(const std::string& text, double points, double lineSpacing) {
    const int percent = static_cast<int>(std::lround(100.0 + lineSpacing * 100.0 / (1.2 * points)));
    QString escaped = qs(text).toHtmlEscaped();
    escaped.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    return QStringLiteral("<div style=\"line-height:%1%\">%2</div>").arg(percent).arg(escaped);
}

}  // namespace

QColor white(double value, double opacity) { return QColor(level(value), level(value), level(value), level(opacity)); }
QColor black(double opacity) { return QColor(0, 0, 0, level(opacity)); }
QColor ink() { return white(0.12); }
QColor secondary() { return QColor(60, 60, 67, level(0.62)); }
QColor green() { return QColor(level(0.21), level(0.36), level(0.29)); }
QColor liveGreen() { return QColor(level(0.1), level(0.47), level(0.35)); }
QColor red() { return QColor(255, 59, 48); }

QFont font(double points, QFont::Weight weight, double tracking, bool monospaced) {
    QFont result(family(monospaced));
    result.setPixelSize(std::max(1, static_cast<int>(std::lround(points))));
    result.setWeight(weight);
    if (tracking != 0) result.setLetterSpacing(QFont::AbsoluteSpacing, tracking);
    result.setHintingPreference(QFont::PreferNoHinting);
    return result;
}

QString qs(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QString buttonText(const std::string& text) { return qs(text).replace(QLatin1Char('&'), QStringLiteral("&&")); }

QString css(const QColor& colour) {
    return QStringLiteral("rgba(%1,%2,%3,%4)").arg(colour.red()).arg(colour.green()).arg(colour.blue()).arg(colour.alphaF());
}

QColor dimmed(const QColor& colour) {
    QColor result = colour;
    result.setAlphaF(colour.alphaF() * 0.4);
    return result;
}

QString labelColours(const QColor& colour) {
    return QStringLiteral("QLabel { color: %1; background: transparent; } QLabel:disabled { color: %2; }")
        .arg(css(colour), css(dimmed(colour)));
}

void useStandardLook(QPushButton* button) {
    button->setFont(style::font(13));
    button->setStyleSheet(QStringLiteral(
        "QPushButton { background: white; color: %1; border: 1px solid rgba(0,0,0,0.15); border-radius: 6px; "
        "padding: 4px 12px; } QPushButton:pressed { background: rgba(0,0,0,0.06); } "
        "QPushButton:disabled { color: %2; border-color: rgba(0,0,0,0.08); }")
                              .arg(css(ink()), css(dimmed(ink()))));
}

void useStandardLook(QLineEdit* field) {
    field->setStyleSheet(QStringLiteral(
        "QLineEdit { background: white; border: 1px solid rgba(0,0,0,0.16); border-radius: 6px; padding: 4px 7px; } "
        "QLineEdit:focus { border: 1px solid rgba(10,130,255,0.8); }"));
}

void useThinScrollBars(QAbstractScrollArea* area) {
    area->setStyleSheet(area->styleSheet() +
                        QStringLiteral(" QScrollBar:vertical { background: transparent; width: 8px; margin: 0px; } "
                                       "QScrollBar::handle:vertical { background: rgba(0,0,0,0.28); border-radius: 3px; "
                                       "min-height: 28px; margin: 0px 1px 0px 1px; } "
                                       "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; } "
                                       "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
}

void applyApplicationLook() {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette palette;
    palette.setColor(QPalette::Window, white(0.97));
    palette.setColor(QPalette::WindowText, ink());
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::AlternateBase, white(0.96));
    palette.setColor(QPalette::Text, ink());
    palette.setColor(QPalette::Button, white(0.98));
    palette.setColor(QPalette::ButtonText, ink());
    palette.setColor(QPalette::Highlight, QColor(10, 130, 255));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, Qt::white);
    palette.setColor(QPalette::ToolTipText, ink());
    palette.setColor(QPalette::PlaceholderText, secondary());
    palette.setColor(QPalette::Link, QColor(10, 100, 220));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, white(0.12, 0.35));
    palette.setColor(QPalette::Disabled, QPalette::Text, white(0.12, 0.35));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, white(0.12, 0.35));
    QApplication::setPalette(palette);
    QApplication::setFont(style::font(13));
}

QLabel* label(const std::string& text, double points, QFont::Weight weight, const QColor& colour, double lineSpacing,
              QWidget* parent) {
    auto* result = new TextLabel(parent);
    result->setFont(style::font(points, weight));
    result->setWordWrap(true);
    result->setStyleSheet(labelColours(colour));
    result->setProperty("tessaronPoints", points);
    setLabelText(result, text, lineSpacing);
    return result;
}

void setLabelText(QLabel* target, const std::string& text, double lineSpacing) {
    if (lineSpacing > 0) {
        target->setTextFormat(Qt::RichText);
        target->setText(richText(text, target->property("tessaronPoints").toDouble(), lineSpacing));
        target->setAccessibleName(qs(text));
    } else {
        target->setTextFormat(Qt::PlainText);
        target->setText(qs(text));
    }
}

QLabel* showsOutsideText(QLabel* target) {
    target->setTextFormat(Qt::PlainText);
    target->setProperty("tessaronOutsideText", true);
    target->updateGeometry();
    return target;
}

void makeSelectable(QLabel* target) {
    target->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    target->setCursor(Qt::IBeamCursor);
}

QLabel* symbol(std::string_view name, double points, const QColor& colour, QFont::Weight weight, QWidget* parent) {
    auto* result = new QLabel(parent);
    QFont glyphFont = symbols::font(1, weight);
    glyphFont.setPixelSize(std::max(1, static_cast<int>(std::lround(points * 1.2))));
    result->setFont(glyphFont);
    result->setStyleSheet(labelColours(colour));
    result->setAlignment(Qt::AlignCenter);
    setSymbol(result, name);
    return result;
}

void setSymbol(QLabel* target, std::string_view name) {
    target->setText(symbols::text(name));
    target->setProperty("tessaronSymbol", QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    target->setVisible(!name.empty());
}

// --- Spinner --------------------------------------------------------------------------------------

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

// --- TessaronButton -------------------------------------------------------------------------------

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
    painter.setPen(QPen(primary_ ? QColor(255, 255, 255, level(0.2)) : black(0.1), 1));
    painter.setBrush(primary_ ? white(0.14) : QColor(255, 255, 255, level(0.8)));
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

// --- PlainButton ----------------------------------------------------------------------------------

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

// --- Surface --------------------------------------------------------------------------------------

Surface::Surface(double radius, const QColor& fill, const QColor& stroke, QWidget* parent)
    : QFrame(parent), radius_(radius), fill_(fill), stroke_(stroke) {
    setAttribute(Qt::WA_StyledBackground, false);
}

void addShadow(QWidget* widget, double opacity, double radius, double dy) {
    auto* shadow = new QGraphicsDropShadowEffect(widget);
    shadow->setColor(black(opacity * 2));
    shadow->setBlurRadius(radius);
    shadow->setOffset(0, dy);
    widget->setGraphicsEffect(shadow);
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

// --- Disclosure -----------------------------------------------------------------------------------

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

// --- TabularLabel ---------------------------------------------------------------------------------

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

// --- Stepper --------------------------------------------------------------------------------------

Stepper::Stepper(const std::string& title, const std::string& unit, QWidget* parent) : QWidget(parent), unit_(unit) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    row->addWidget(label(title, 13));
    row->addStretch(1);
    value_label_ = new TabularLabel(this);
    value_label_->setFont(style::font(13));
    row->addWidget(value_label_);

    auto* arrows = new QFrame(this);
    arrows->setStyleSheet(QStringLiteral(
        "QFrame { background: white; border: 1px solid rgba(0,0,0,0.16); border-radius: 5px; } "
        "QToolButton { border: none; background: transparent; padding: 0px; } "
        "QToolButton:pressed { background: rgba(0,0,0,0.08); }"));
    auto* column = new QVBoxLayout(arrows);
    column->setContentsMargins(1, 1, 1, 1);
    column->setSpacing(0);
    up_ = new QToolButton(arrows);
    up_->setArrowType(Qt::UpArrow);
    down_ = new QToolButton(arrows);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* button : {up_, down_}) {
        button->setFixedSize(17, 10);
        button->setIconSize(QSize(7, 7));
        button->setAutoRepeat(true);
        column->addWidget(button);
    }
    up_->setAccessibleName(qs(title) + QStringLiteral(" up"));
    down_->setAccessibleName(qs(title) + QStringLiteral(" down"));
    row->addWidget(arrows);
    connect(up_, &QToolButton::clicked, this, [this] {
        if (value_ < maximum_) emit valueEdited(value_ + 1);
    });
    connect(down_, &QToolButton::clicked, this, [this] {
        if (value_ > minimum_) emit valueEdited(value_ - 1);
    });
    refresh();
}

void Stepper::setRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = maximum;
    refresh();
}

void Stepper::setValue(int value) {
    value_ = value;
    refresh();
}

void Stepper::refresh() {
    value_label_->setText(QString::number(value_) + qs(unit_));
    up_->setEnabled(value_ < maximum_);
    down_->setEnabled(value_ > minimum_);
}

// --- SymbolLabel ----------------------------------------------------------------------------------

SymbolLabel::SymbolLabel(std::string_view symbolName, const std::string& text, double points, QFont::Weight weight,
                         const QColor& colour, QWidget* parent)
    : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(static_cast<int>(std::lround(points * 0.45)));
    symbol_ = symbol(symbolName, points, colour, weight, this);
    text_ = label(text, points, weight, colour, 0, this);
    row->addWidget(symbol_, 0, Qt::AlignTop);
    row->addWidget(text_, 1);
}

void SymbolLabel::setText(const std::string& text) { setLabelText(text_, text); }

void SymbolLabel::setSymbol(std::string_view symbolName) { style::setSymbol(symbol_, symbolName); }

void SymbolLabel::setColour(const QColor& colour) {
    const QString sheet = labelColours(colour);
    symbol_->setStyleSheet(sheet);
    text_->setStyleSheet(sheet);
}

// --- MachineBadge ---------------------------------------------------------------------------------

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

QLabel* numberBadge(int number, int diameter, const QColor& fill, const QColor& colour, double points,
                    QFont::Weight weight) {
    auto* badge = new QLabel(QString::number(number));
    badge->setFixedSize(diameter, diameter);
    badge->setAlignment(Qt::AlignCenter);
    badge->setFont(style::font(points, weight));
    badge->setStyleSheet(QStringLiteral("background: %1; color: %2; border-radius: %3px;")
                             .arg(css(fill), css(colour))
                             .arg(diameter / 2));
    return badge;
}

// --- FittingLabel ---------------------------------------------------------------------------------

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

QFrame* divider(double opacity) {
    auto* line = new QFrame;
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("background: %1; border: none;").arg(css(black(0.1 * opacity))));
    return line;
}

}  // namespace tessaron::desktop::style
