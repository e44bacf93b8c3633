#pragma once
#include <QAbstractButton>

#include <string>
#include <string_view>

class QHBoxLayout;
class QLabel;

namespace tessaron::desktop::style {

class Spinner;

// The one custom button look: dark and emphasised when primary, light otherwise. Its label is a
// row of an optional spinner, an optional leading symbol, the text, space, and an optional
// trailing symbol; pressed it is drawn at 75 % opacity, disabled it is dimmed.
class TessaronButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit TessaronButton(const std::string& text, bool primary, QWidget* parent = nullptr);
    void setPrimary(bool primary);
    bool primary() const { return primary_; }
    void setTitle(const std::string& text);
    QString title() const;
    void setLeadingSymbol(std::string_view name, double points = 13);
    void setTrailingSymbol(std::string_view name);
    void setBusy(bool busy);
    bool busy() const;
    // The spinner takes the trailing symbol's place instead of leading the label.
    void setSpinnerTrailing();
    // The label fills the width (text, then space, then the trailing symbol) instead of hugging.
    void setStretched(bool stretched);
    // The button fills the width with its label centred.
    void setCentred();
    void setMinimumLabelHeight(int points);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void restyle();
    bool primary_;
    QHBoxLayout* row_;
    Spinner* spinner_;
    QWidget* before_;
    QLabel* leading_;
    QLabel* text_;
    QWidget* space_;
    QLabel* trailing_;
};

}  // namespace tessaron::desktop::style
