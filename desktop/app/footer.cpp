#include "app/footer.h"

#include "app/view_rules.h"
#include "app/plain_button.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

namespace tessaron::desktop {

using namespace style;

Footer::Footer(WindowActions& actions, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("footer"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(5, 0, 5, 0);
    column->setSpacing(16);

    details_ = new Disclosure("Connection details", 12, secondary(), this);
    column->addWidget(details_, 0, Qt::AlignLeft);

    detail_ = showsOutsideText(label("", 12, QFont::Normal, secondary()));
    makeSelectable(detail_);
    column->addWidget(detail_);

    // The log scrolls in a view of 150 points; the box pads it by 12 on every side.
    logBox_ = new Surface(10, QColor(255, 255, 255, 179), QColor(0, 0, 0, 0), this);
    auto* logLayout = new QVBoxLayout(logBox_);
    logLayout->setContentsMargins(12, 12, 12, 12);
    log_ = new QPlainTextEdit(logBox_);
    log_->setObjectName(QStringLiteral("activityLog"));
    log_->setReadOnly(true);
    log_->setFrameShape(QFrame::NoFrame);
    log_->setFixedHeight(150);
    log_->setFont(style::font(11, QFont::Normal, 0, true));
    log_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    log_->setStyleSheet(QStringLiteral("QPlainTextEdit { background: transparent; color: %1; }").arg(css(ink())));
    useThinScrollBars(log_);
    log_->document()->setDocumentMargin(0);
    logLayout->addWidget(log_);
    column->addWidget(logBox_);

    background_ = label("Background hosting continues when you close Tessaron. Keep this Mac awake, online, and signed "
                        "in to macOS.",
                        12, QFont::Normal, secondary());
    column->addWidget(background_);

    auto* hostingRow = new QHBoxLayout;
    hostingRow->setSpacing(8);
    hostingRow->addWidget(symbol("powerplug", 12, secondary()));
    hosting_ = label("", 11, QFont::Normal, secondary());
    hosting_->setObjectName(QStringLiteral("hostingNote"));
    hostingRow->addWidget(hosting_, 1);
    column->addLayout(hostingRow);

    auto* help = new PlainButton("Help & setup guides \u2197", 12, secondary());
    column->addWidget(help, 0, Qt::AlignLeft);

    connect(details_, &QToolButton::toggled, this, &Footer::showDetails);
    connect(help, &QAbstractButton::clicked, this, [&actions] { actions.openHelp(); });
    showDetails(false);
}

void Footer::showDetails(bool open) {
    detail_->setVisible(open && !detailText_.empty());
    logBox_->setVisible(open);
    background_->setVisible(open);
}

void Footer::render(const ViewState& state) {
    detailText_ = rules::failureText(state.connectionDetail);
    setLabelText(detail_, detailText_);
    const std::string text = rules::logText(state.log);
    if (text != logText_) {
        QScrollBar* bar = log_->verticalScrollBar();
        const bool atEnd = bar->value() >= bar->maximum() - 2;
        logText_ = text;
        log_->setPlainText(qs(text));
        if (atEnd) bar->setValue(bar->maximum());
    }
    setLabelText(hosting_, rules::hostingNote(state.paired));
    showDetails(details_->expanded());
}

}  // namespace tessaron::desktop
