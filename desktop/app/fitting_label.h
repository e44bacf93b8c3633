#pragma once
#include <QFont>
#include <QLabel>
#include <QString>

namespace tessaron::desktop::style {

// One line of text that shrinks to a minimum scale before it is cut off with an ellipsis.
class FittingLabel : public QLabel {
    Q_OBJECT
public:
    FittingLabel(double points, QFont::Weight weight, double tracking, double minimumScale, QWidget* parent = nullptr);
    void setFullText(const QString& text);
    QString fullText() const { return full_; }
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void fit();
    QString full_;
    double points_;
    QFont::Weight weight_;
    double tracking_;
    double minimumScale_;
};

}  // namespace tessaron::desktop::style
