#pragma once
#include <QColor>
#include <QWidget>

class QTimer;

namespace tessaron::desktop::style {

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

}  // namespace tessaron::desktop::style
