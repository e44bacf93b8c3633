#pragma once
// The window's look: its colours, its fonts at point sizes (one point is one device-independent
// pixel, as on a Mac), the standard controls' styles, and the labels the cards are made of. The
// small widgets the cards share each have a file of their own (spinner, tessaron_button,
// plain_button, surface, disclosure, tabular_label, stepper, symbol_label, machine_badge,
// fitting_label).
#include <QColor>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include <string>
#include <string_view>

class QAbstractScrollArea;
class QLineEdit;

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

// A drop shadow under what `widget` draws: black at `opacity`, blurred by `radius`, moved `dy` down.
void addShadow(QWidget* widget, double opacity, double radius, double dy);

// A number on a small filled circle.
QLabel* numberBadge(int number, int diameter, const QColor& fill, const QColor& colour, double points,
                    QFont::Weight weight);

QFrame* divider(double opacity = 1.0);

}  // namespace tessaron::desktop::style
