#include "app/symbol_label.h"

#include "app/style.h"

#include <QHBoxLayout>
#include <QLabel>

#include <cmath>

namespace tessaron::desktop::style {

SymbolLabel::SymbolLabel(std::string_view symbolName, const std::string& text, double points, QFont::Weight weight,
                         const QColor& colour, QWidget* parent)
    : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(static_cast<int>(std::lround(points * 0.45)));
    symbol_ = symbol(symbolName, points, colour, weight, this);
    text_ = label(text, points, weight, colour, 0, this);
    row->addWidget(symbol_, 0, Qt::AlignTop);
    row->addWidget(text_, 1);
}

void SymbolLabel::setText(const std::string& text) { setLabelText(text_, text); }

void SymbolLabel::setSymbol(std::string_view symbolName) { style::setSymbol(symbol_, symbolName); }

void SymbolLabel::setColour(const QColor& colour) {
    const QString sheet = labelColours(colour);
    symbol_->setStyleSheet(sheet);
    text_->setStyleSheet(sheet);
}

}  // namespace tessaron::desktop::style
