#include "app/overlays.h"
#include "app/spinner.h"
#include "app/plain_button.h"

#include "platform/symbols.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace tessaron::desktop {

using namespace style;

namespace {

// Lays out the shown widgets under `widget`, innermost first, so that each layout measures what
// its children hold now. A widget shown in the same turn as its texts change is otherwise
// measured by its parent's layout from what it held while hidden, until its own layout request
// comes round in the event loop.
void layOutFromInside(QWidget* widget) {
    for (QObject* child : widget->children())
        if (auto* inner = qobject_cast<QWidget*>(child); inner && !inner->isHidden()) layOutFromInside(inner);
    if (QLayout* layout = widget->layout()) layout->activate();
}

}  // namespace

Overlay::Overlay(QWidget* window, int panelWidth, bool topAligned) : QWidget(window), topAligned_(topAligned) {
    setFocusPolicy(Qt::StrongFocus);
    panel_ = new Surface(topAligned ? 12 : 14, topAligned ? white(0.98) : white(0.97), black(0.12), this);
    panel_->setShadow(0.15, 30, 10);
    panel_->setFixedWidth(panelWidth);
    window->installEventFilter(this);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { holdFocus(now); });
    hide();
}

void Overlay::present() {
    QWidget* focused = QApplication::focusWidget();
    if (focused && focused != this && !isAncestorOf(focused) && focused->window() == window())
        previousFocus_ = focused;
    reposition();
    show();
    raise();
    setFocus(Qt::OtherFocusReason);
}

Overlay* Overlay::topmost(QWidget* window) {
    const QObjectList& children = window->children();  // in stacking order, the top one last
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if (auto* overlay = qobject_cast<Overlay*>(*it); overlay && overlay->isVisible()) return overlay;
    return nullptr;
}

void Overlay::holdFocus(QWidget* now) {
    if (!now || now == this || isAncestorOf(now) || now->window() != window()) return;
    if (!isVisible() || topmost(parentWidget()) != this) return;
    setFocus(Qt::OtherFocusReason);
}

QList<QWidget*> Overlay::tabStops() const {
    QList<QWidget*> stops;
    for (QWidget* widget = nextInFocusChain(); widget && widget != this; widget = widget->nextInFocusChain())
        if (isAncestorOf(widget) && widget->isVisible() && widget->isEnabled() && (widget->focusPolicy() & Qt::TabFocus))
            stops.append(widget);
    return stops;
}

bool Overlay::focusNextPrevChild(bool next) {
    if (!isVisible()) return QWidget::focusNextPrevChild(next);
    const QList<QWidget*> stops = tabStops();
    if (stops.isEmpty()) return true;
    const qsizetype at = stops.indexOf(QApplication::focusWidget());
    const qsizetype count = stops.size();
    const qsizetype to = at < 0 ? (next ? 0 : count - 1) : (at + (next ? 1 : count - 1)) % count;
    stops[to]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

void Overlay::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // The focus returns where it was, unless that is behind the overlay that still shows below.
    Overlay* below = topmost(parentWidget());
    const bool usable = previousFocus_ && previousFocus_->isVisible() && previousFocus_->isEnabled() &&
                        (!below || below == previousFocus_ || below->isAncestorOf(previousFocus_));
    if (usable)
        previousFocus_->setFocus(Qt::OtherFocusReason);
    else if (below)
        below->setFocus(Qt::OtherFocusReason);
    previousFocus_ = nullptr;
}

void Overlay::reposition() {
    setGeometry(parentWidget()->rect());
    // The panel's width is fixed: its height is what its wrapped texts need at that width. Its
    // size hint would be the height at the narrower width its texts would like, which changes as
    // the hints of newly shown parts catch up, and the panel would shrink under the pointer.
    layOutFromInside(panel_);
    const int fitted = panel_->heightForWidth(panel_->width());
    panel_->resize(panel_->width(), fitted >= 0 ? fitted : panel_->sizeHint().height());
    const int x = (width() - panel_->width()) / 2;
    const int y = topAligned_ ? 0 : std::max(0, (height() - panel_->height()) / 3);
    panel_->move(std::max(0, x), y);
}

bool Overlay::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest)) reposition();
    return false;
}

void Overlay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), black(0.16));
}

void Overlay::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        emit escapePressed();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) emit returnPressed();
    event->accept();  // nothing typed here reaches the window behind
}

void Overlay::mousePressEvent(QMouseEvent*) {}  // a click beside the panel does nothing

ConfirmationAlert::ConfirmationAlert(QWidget* window, const rules::Confirmation& confirmation,
                                     std::function<void()> confirmed)
    : Overlay(window, 300, false) {
    setObjectName(QStringLiteral("confirmationAlert"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* column = new QVBoxLayout(panel());
    column->setContentsMargins(20, 20, 20, 16);
    column->setSpacing(10);
    auto* title = label(confirmation.title, 13, QFont::Bold);
    title->setAlignment(Qt::AlignHCenter);
    auto* message = label(confirmation.message, 11);
    message->setAlignment(Qt::AlignHCenter);
    column->addWidget(title);
    column->addWidget(message);
    column->addSpacing(6);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    auto* cancel = new QPushButton(buttonText(confirmation.cancel), panel());
    auto* confirm = new QPushButton(buttonText(confirmation.confirm), panel());
    confirm->setDefault(true);
    for (QPushButton* button : {cancel, confirm}) {
        button->setMinimumHeight(28);
        button->setFont(style::font(13));
        buttons->addWidget(button, 1);
    }
    confirm->setStyleSheet(QStringLiteral("QPushButton { background: rgb(10,122,255); color: white; border: none; "
                                          "border-radius: 6px; padding: 4px 10px; } QPushButton:pressed { background: "
                                          "rgb(8,100,210); }"));
    cancel->setStyleSheet(QStringLiteral("QPushButton { background: white; border: 1px solid rgba(0,0,0,0.15); "
                                         "border-radius: 6px; padding: 4px 10px; } QPushButton:pressed { background: "
                                         "rgba(0,0,0,0.06); }"));
    column->addLayout(buttons);
    cancel_ = cancel;
    confirm_ = confirm;
    connect(cancel, &QAbstractButton::clicked, this, &QWidget::close);
    connect(this, &Overlay::returnPressed, confirm, &QAbstractButton::click);  // the default button
    connect(this, &Overlay::escapePressed, this, &QWidget::close);
    connect(confirm, &QAbstractButton::clicked, this, [this, confirmed = std::move(confirmed)] {
        close();
        confirmed();
    });
}

ResourceSheet::ResourceSheet(QWidget* window, WindowActions& actions, Confirm confirm)
    : Overlay(window, 455, true), actions_(actions), confirm_(std::move(confirm)) {
    setObjectName(QStringLiteral("resourceSheet"));
    auto* column = new QVBoxLayout(panel());
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(22);

    auto* header = new QHBoxLayout;
    auto* title = label("Server resources", 24, QFont::DemiBold);
    title->setFont(style::font(24, QFont::DemiBold, -0.6));
    header->addWidget(title, 1);
    close_ = new PlainButton("", 13, secondary());
    static_cast<PlainButton*>(close_)->setSymbol("xmark");
    close_->setAccessibleName(QStringLiteral("Close resource settings"));
    close_->setObjectName(QStringLiteral("closeResources"));
    header->addWidget(close_);
    column->addLayout(header);

    loading_ = new QWidget(panel());
    auto* loadingRow = new QHBoxLayout(loading_);
    loadingRow->setContentsMargins(0, 25, 0, 25);
    loadingRow->addStretch(1);
    loadingRow->addWidget(new Spinner(16));
    QLabel* reading = label("Reading your current allocation\u2026", 13, QFont::Normal, secondary());
    reading->setWordWrap(false);  // one line: the sheet's fixed width always has room for it
    loadingRow->addWidget(reading);
    loadingRow->addStretch(1);
    column->addWidget(loading_);

    editor_ = new QWidget(panel());
    auto* editorColumn = new QVBoxLayout(editor_);
    editorColumn->setContentsMargins(0, 0, 0, 0);
    editorColumn->setSpacing(22);
    summary_ = showsOutsideText(label("", 13, QFont::Normal, secondary()));
    cpu_ = new Stepper("CPU cores", "", editor_);
    cpu_->setObjectName(QStringLiteral("resourceCPU"));
    memory_ = new Stepper("Memory", " GiB", editor_);
    memory_->setObjectName(QStringLiteral("resourceMemory"));
    limits_ = label("", 12, QFont::Normal, secondary());
    custom_ = label("", 12, QFont::Normal, secondary());
    consequence_ = label("", 13, QFont::Normal, secondary(), 3);
    apply_ = new TessaronButton("Apply changes", true, editor_);
    apply_->setObjectName(QStringLiteral("applyResources"));
    apply_->setStretched(true);
    for (QWidget* part : std::initializer_list<QWidget*>{summary_, cpu_, memory_, limits_, custom_, divider(),
                                                         consequence_, apply_})
        editorColumn->addWidget(part);
    column->addWidget(editor_);

    errorRow_ = new QWidget(panel());
    auto* errorColumn = new QVBoxLayout(errorRow_);
    errorColumn->setContentsMargins(0, 0, 0, 0);
    errorColumn->setSpacing(10);
    error_ = showsOutsideText(label("", 12, QFont::Normal, red()));
    makeSelectable(error_);
    tryAgain_ = new QPushButton(QStringLiteral("Try again"), errorRow_);
    useStandardLook(tryAgain_);
    errorColumn->addWidget(error_);
    errorColumn->addWidget(tryAgain_, 0, Qt::AlignLeft);
    column->addWidget(errorRow_);

    connect(close_, &QAbstractButton::clicked, this, [this] { actions_.closeResources(); });
    connect(this, &Overlay::escapePressed, this, [this] {
        if (closeEnabled_) actions_.closeResources();
    });
    connect(cpu_, &Stepper::valueEdited, this, [this](int value) { actions_.setResourceCPU(value); });
    connect(memory_, &Stepper::valueEdited, this, [this](int value) { actions_.setResourceMemory(value); });
    connect(tryAgain_, &QAbstractButton::clicked, this, [this] { actions_.editResources(); });
    connect(apply_, &QAbstractButton::clicked, this, [this] {
        if (!applyAsks_) {
            actions_.applyResources(false);
            return;
        }
        confirm_(rules::resourceRestartConfirmation(chosenCPU_, chosenMemory_), [this] { actions_.applyResources(true); });
    });
}

void ResourceSheet::render(const ViewState& state) {
    const rules::ResourceEditor editor = rules::resourceEditor(state);
    closeEnabled_ = editor.closeEnabled;
    applyAsks_ = editor.applyAsks;
    chosenCPU_ = state.resourceCPU;
    chosenMemory_ = state.resourceMemory;
    close_->setEnabled(editor.closeEnabled);
    loading_->setVisible(editor.loading);
    editor_->setVisible(editor.showEditor);
    setLabelText(summary_, editor.summary);
    cpu_->setRange(editor.cpuRange.minimum, editor.cpuRange.maximum);
    cpu_->setValue(state.resourceCPU);
    cpu_->setEnabled(editor.steppersEnabled);
    memory_->setRange(editor.memoryRange.minimum, editor.memoryRange.maximum);
    memory_->setValue(state.resourceMemory);
    memory_->setEnabled(editor.steppersEnabled);
    setLabelText(limits_, editor.limits);
    custom_->setVisible(editor.customMemoryNote.has_value());
    setLabelText(custom_, editor.customMemoryNote.value_or(""));
    setLabelText(consequence_, editor.consequence, 3);
    apply_->setTitle(editor.applyLabel);
    apply_->setBusy(editor.applySpinner);
    apply_->setEnabled(editor.applyEnabled);
    errorRow_->setVisible(!state.resourceError.empty());
    setLabelText(error_, rules::failureText(state.resourceError));
    tryAgain_->setVisible(editor.showTryAgain);
    tryAgain_->setEnabled(editor.tryAgainEnabled);
    if (isVisible()) reposition();
}

}  // namespace tessaron::desktop
