#pragma once
#include <QColor>
#include <QString>
#include <QWidget>

#include <string_view>

namespace tessaron::desktop::style {

// The laptop tile of the welcome and setup cards, with a round mark at its lower right corner.
class MachineBadge : public QWidget {
    Q_OBJECT
public:
    explicit MachineBadge(QWidget* parent = nullptr);
    void setMark(std::string_view symbolName, const QColor& symbolColour, const QColor& circleFill);
    QString markSymbol() const { return mark_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString mark_;
    QColor markColour_;
    QColor markFill_;
};

}  // namespace tessaron::desktop::style
