#include "app/style.h"

#include "platform/symbols.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QFontDatabase>
#include <QGraphicsDropShadowEffect>
#include <QLineEdit>
#include <QPalette>
#include <QStyleFactory>

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

void addShadow(QWidget* widget, double opacity, double radius, double dy) {
    auto* shadow = new QGraphicsDropShadowEffect(widget);
    shadow->setColor(black(opacity * 2));
    shadow->setBlurRadius(radius);
    shadow->setOffset(0, dy);
    widget->setGraphicsEffect(shadow);
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

QFrame* divider(double opacity) {
    auto* line = new QFrame;
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("background: %1; border: none;").arg(css(black(0.1 * opacity))));
    return line;
}

}  // namespace tessaron::desktop::style
