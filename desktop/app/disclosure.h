#pragma once
#include <QColor>
#include <QToolButton>

#include <string>

namespace tessaron::desktop::style {

// A disclosure triangle with a title; the content that it reveals belongs to the caller.
class Disclosure : public QToolButton {
    Q_OBJECT
public:
    Disclosure(const std::string& title, double points, const QColor& colour, QWidget* parent = nullptr);
    bool expanded() const { return isChecked(); }
};

}  // namespace tessaron::desktop::style
