#pragma once
#include <QWidget>

#include <string>

class QToolButton;

namespace tessaron::desktop::style {

class TabularLabel;

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

}  // namespace tessaron::desktop::style
