#pragma once
#include <QColor>
#include <QFont>
#include <QWidget>

#include <string>
#include <string_view>

class QLabel;

namespace tessaron::desktop::style {

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

}  // namespace tessaron::desktop::style
