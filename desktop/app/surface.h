#pragma once
#include "app/style.h"

#include <QColor>
#include <QFrame>

namespace tessaron::desktop::style {

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

}  // namespace tessaron::desktop::style
