#pragma once
#include <QColor>
#include <QFont>
#include <QPushButton>

#include <string>
#include <string_view>

namespace tessaron::desktop::style {

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

}  // namespace tessaron::desktop::style
