#pragma once
// The window's look: its colours, its fonts at point sizes (one point is one device-independent
// pixel, as on a Mac), the one custom button look, card surfaces, and the small controls the
// cards share (symbol labels, plain buttons, disclosures, steppers, spinners).
#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <string>
#include <string_view>

class QAbstractScrollArea;
class QHBoxLayout;
class QLineEdit;
class QTimer;

namespace tessaron::desktop::style {

// sRGB grey of the given white level and opacity.
QColor white(double level, double opacity = 1.0);
QColor black(double opacity);
QColor ink();        // the window's default foreground
QColor secondary();  // secondary text and symbols
QColor green();      // the cards' accent
QColor liveGreen();  // live public access
QColor red();

// The interface font at a size in points; `monospaced` picks the monospaced design.
QFont font(double points, QFont::Weight weight = QFont::Normal, double tracking = 0, bool monospaced = false);
QString qs(const std::string& text);
// A button's title with its ampersands kept as text rather than read as shortcut marks.
QString buttonText(const std::string& text);
QString css(const QColor& colour);
// The colour at the opacity of a disabled control.
QColor dimmed(const QColor& colour);
// A label's style sheet: its text in `colour`, dimmed while it (or what holds it) is disabled.
QString labelColours(const QColor& colour);
// Scroll bars drawn as a thin handle without arrow buttons, as a Mac draws them.
void useThinScrollBars(QAbstractScrollArea* area);
// The platform's standard push button and text field: white, a thin outline, rounded corners.
void useStandardLook(QPushButton* button);
void useStandardLook(QLineEdit* field);

// Fusion with one light palette and the interface font, for every Linux desktop alike.
void applyApplicationLook();

// A text label in a font and colour that wraps to its full height. `lineSpacing` adds points
// between lines.
QLabel* label(const std::string& text, double points, QFont::Weight weight = QFont::Normal,
              const QColor& colour = ink(), double lineSpacing = 0, QWidget* parent = nullptr);
void setLabelText(QLabel* label, const std::string& text, double lineSpacing = 0);
void makeSelectable(QLabel* label);
// Marks a label made by label() that shows text from outside (a run's error, a panel's value):
// plain text, at its natural width where its row has room, and never wider than its layout
// gives it, so a long unbroken word is cut at its edge instead of widening the window. Returns
// the label.
QLabel* showsOutsideText(QLabel* label);

// A symbol drawn from the icon font as a label.
QLabel* symbol(std::string_view name, double points, const QColor& colour, QFont::Weight weight = QFont::Normal,
               QWidget* parent = nullptr);
void setSymbol(QLabel* label, std::string_view name);

// A small indeterminate progress indicator.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(int size = 16, const QColor& colour = QColor(0, 0, 0, 150), QWidget* parent = nullptr);
    void setColour(const QColor& colour);

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;

private:
    QTimer* timer_;
    QColor colour_;
    int phase_ = 0;
};

// The one custom button look: dark and emphasised when primary, light otherwise. Its label is a
// row of an optional spinner, an optional leading symbol, the text, space, and an optional
// trailing symbol; pressed it is drawn at 75 % opacity, disabled it is dimmed.
class TessaronButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit TessaronButton(const std::string& text, bool primary, QWidget* parent = nullptr);
    void setPrimary(bool primary);
    bool primary() const { return primary_; }
    void setTitle(const std::string& text);
    QString title() const;
    void setLeadingSymbol(std::string_view name, double points = 13);
    void setTrailingSymbol(std::string_view name);
    void setBusy(bool busy);
    bool busy() const;
    // The spinner takes the trailing symbol's place instead of leading the label.
    void setSpinnerTrailing();
    // The label fills the width (text, then space, then the trailing symbol) instead of hugging.
    void setStretched(bool stretched);
    // The button fills the width with its label centred.
    void setCentred();
    void setMinimumLabelHeight(int points);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void restyle();
    bool primary_;
    QHBoxLayout* row_;
    Spinner* spinner_;
    QWidget* before_;
    QLabel* leading_;
    QLabel* text_;
    QWidget* space_;
    QLabel* trailing_;
};

// A borderless text button (with an optional symbol) in a font and colour.
class PlainButton : public QPushButton {
    Q_OBJECT
public:
    PlainButton(const std::string& text, double points, const QColor& colour, QFont::Weight weight = QFont::Normal,
                QWidget* parent = nullptr);
    void setSymbol(std::string_view name);
    void setTitle(const std::string& text);

private:
    double points_;
    QColor colour_;
};

// A drop shadow under what `widget` draws: black at `opacity`, blurred by `radius`, moved `dy` down.
void addShadow(QWidget* widget, double opacity, double radius, double dy);

// A rounded rectangle behind a card or banner.
class Surface : public QFrame {
    Q_OBJECT
public:
    Surface(double radius, const QColor& fill, const QColor& stroke, QWidget* parent = nullptr);
    void setShadow(double opacity, double radius, double dy) { addShadow(this, opacity, radius, dy); }
    void setCapsule(bool capsule) { capsule_ = capsule; update(); }
    void setFill(const QColor& fill) { fill_ = fill; update(); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    double radius_;
    QColor fill_;
    QColor stroke_;
    bool capsule_ = false;
};

// A disclosure triangle with a title; the content that it reveals belongs to the caller.
class Disclosure : public QToolButton {
    Q_OBJECT
public:
    Disclosure(const std::string& title, double points, const QColor& colour, QWidget* parent = nullptr);
    bool expanded() const { return isChecked(); }
};

// One line of text whose digits all take the same width, as tabular figures do, so that a
// number does not shift as it changes. The interface font's digits are proportional and this Qt
// cannot switch on a font's tabular figures, so each digit is drawn centred in a cell as wide as
// the font's figure space.
class TabularLabel : public QLabel {
    Q_OBJECT
public:
    explicit TabularLabel(QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override;
};

// An integer stepper with its label row: title, space, value (with an optional unit).
class Stepper : public QWidget {
    Q_OBJECT
public:
    Stepper(const std::string& title, const std::string& unit, QWidget* parent = nullptr);
    // The range is taken as given; callers pass a valid one (minimum ≤ maximum).
    void setRange(int minimum, int maximum);
    void setValue(int value);
    int value() const { return value_; }
    int minimum() const { return minimum_; }
    int maximum() const { return maximum_; }
    QToolButton* upButton() const { return up_; }
    QToolButton* downButton() const { return down_; }

signals:
    void valueEdited(int value);

private:
    void refresh();
    TabularLabel* value_label_;
    QToolButton* up_;
    QToolButton* down_;
    std::string unit_;
    int minimum_ = 0;
    int maximum_ = 0;
    int value_ = 0;
};

// A symbol followed by a text, as one label.
class SymbolLabel : public QWidget {
    Q_OBJECT
public:
    SymbolLabel(std::string_view symbolName, const std::string& text, double points, QFont::Weight weight,
                const QColor& colour, QWidget* parent = nullptr);
    void setText(const std::string& text);
    void setSymbol(std::string_view symbolName);
    void setColour(const QColor& colour);
    QLabel* textLabel() const { return text_; }
    QLabel* symbolLabel() const { return symbol_; }

private:
    QLabel* symbol_;
    QLabel* text_;
};

// The laptop tile of the welcome and setup cards, with a round mark at its lower right corner.
class MachineBadge : public QWidget {
    Q_OBJECT
public:
    explicit MachineBadge(QWidget* parent = nullptr);
    void setMark(std::string_view symbolName, const QColor& symbolColour, const QColor& circleFill);
    QString markSymbol() const { return mark_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString mark_;
    QColor markColour_;
    QColor markFill_;
};

// A number on a small filled circle.
QLabel* numberBadge(int number, int diameter, const QColor& fill, const QColor& colour, double points,
                    QFont::Weight weight);

// One line of text that shrinks to a minimum scale before it is cut off with an ellipsis.
class FittingLabel : public QLabel {
    Q_OBJECT
public:
    FittingLabel(double points, QFont::Weight weight, double tracking, double minimumScale, QWidget* parent = nullptr);
    void setFullText(const QString& text);
    QString fullText() const { return full_; }
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void fit();
    QString full_;
    double points_;
    QFont::Weight weight_;
    double tracking_;
    double minimumScale_;
};

QFrame* divider(double opacity = 1.0);

}  // namespace tessaron::desktop::style
