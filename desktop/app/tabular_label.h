#pragma once
#include <QLabel>

namespace tessaron::desktop::style {

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

}  // namespace tessaron::desktop::style
