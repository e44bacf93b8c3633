#include "app/stepper.h"

#include "app/style.h"
#include "app/tabular_label.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QToolButton>
#include <QVBoxLayout>

namespace tessaron::desktop::style {

Stepper::Stepper(const std::string& title, const std::string& unit, QWidget* parent) : QWidget(parent), unit_(unit) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    row->addWidget(label(title, 13));
    row->addStretch(1);
    value_label_ = new TabularLabel(this);
    value_label_->setFont(style::font(13));
    row->addWidget(value_label_);

    auto* arrows = new QFrame(this);
    arrows->setStyleSheet(QStringLiteral(
        "QFrame { background: white; border: 1px solid rgba(0,0,0,0.16); border-radius: 5px; } "
        "QToolButton { border: none; background: transparent; padding: 0px; } "
        "QToolButton:pressed { background: rgba(0,0,0,0.08); }"));
    auto* column = new QVBoxLayout(arrows);
    column->setContentsMargins(1, 1, 1, 1);
    column->setSpacing(0);
    up_ = new QToolButton(arrows);
    up_->setArrowType(Qt::UpArrow);
    down_ = new QToolButton(arrows);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* button : {up_, down_}) {
        button->setFixedSize(17, 10);
        button->setIconSize(QSize(7, 7));
        button->setAutoRepeat(true);
        column->addWidget(button);
    }
    up_->setAccessibleName(qs(title) + QStringLiteral(" up"));
    down_->setAccessibleName(qs(title) + QStringLiteral(" down"));
    row->addWidget(arrows);
    connect(up_, &QToolButton::clicked, this, [this] {
        if (value_ < maximum_) emit valueEdited(value_ + 1);
    });
    connect(down_, &QToolButton::clicked, this, [this] {
        if (value_ > minimum_) emit valueEdited(value_ - 1);
    });
    refresh();
}

void Stepper::setRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = maximum;
    refresh();
}

void Stepper::setValue(int value) {
    value_ = value;
    refresh();
}

void Stepper::refresh() {
    value_label_->setText(QString::number(value_) + qs(unit_));
    up_->setEnabled(value_ < maximum_);
    down_->setEnabled(value_ > minimum_);
}

}  // namespace tessaron::desktop::style
