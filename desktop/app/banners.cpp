#include "app/banners.h"

#include "app/view_rules.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace tessaron::desktop {

using namespace style;

UpdateBanner::UpdateBanner(WindowActions& actions, QWidget* parent)
    : Surface(12, white(0.97), black(0.08), parent) {
    setObjectName(QStringLiteral("updateBanner"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 14, 14, 14);
    row->setSpacing(10);
    row->addWidget(symbol("arrow.down.circle", 13, secondary()), 0, Qt::AlignTop);
    auto* column = new QVBoxLayout;
    column->setSpacing(3);
    text_ = showsOutsideText(label("", 13));
    column->addWidget(text_);
    column->addWidget(label("Your server, files and settings are untouched by updating.", 11, QFont::Normal, secondary()));
    row->addLayout(column, 1);
    download_ = new TessaronButton("Download", false, this);
    row->addWidget(download_, 0, Qt::AlignVCenter);
    connect(download_, &QAbstractButton::clicked, this, [this, &actions] {
        if (url_) actions.openURL(*url_);
    });
}

void UpdateBanner::render(const ViewState& state) {
    setVisible(rules::showUpdateBanner(state));
    setLabelText(text_, rules::updateBannerText(state));
    url_ = state.latestDownloadURL;
}

MoveBanner::MoveBanner(WindowActions& actions, QWidget* parent) : Surface(18, Qt::white, black(0.15), parent) {
    setObjectName(QStringLiteral("moveBanner"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(25, 25, 25, 25);
    column->setSpacing(14);
    column->addWidget(new SymbolLabel("arrow.down.app", "Move Tessaron to Applications first", 23, QFont::DemiBold, ink()));
    explanation_ = showsOutsideText(label("", 14, QFont::Normal, ink(), 3));
    column->addWidget(explanation_);
    error_ = showsOutsideText(label("", 13, QFont::Normal, red()));
    column->addWidget(error_);
    column->addWidget(divider());
    note_ = label("", 12, QFont::Normal, secondary(), 3);
    column->addWidget(note_);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    move_ = new TessaronButton("", true, this);
    move_->setMinimumLabelHeight(24);
    show_ = new TessaronButton("Show me the app", false, this);
    buttons->addWidget(move_);
    buttons->addWidget(show_);
    buttons->addStretch(1);
    column->addLayout(buttons);
    column->addWidget(label("Use Move to Applications below, or quit Tessaron and drag it there yourself.", 12,
                            QFont::Normal, secondary()));
    connect(move_, &QAbstractButton::clicked, this, [&actions] { actions.installToApplications(); });
    connect(show_, &QAbstractButton::clicked, this, [&actions] { actions.showAppInFolder(); });
}

void MoveBanner::render(const ViewState& state) {
    setVisible(rules::showMoveBanner(state));
    setLabelText(explanation_, rules::moveBannerExplanation(state), 3);
    setLabelText(error_, rules::messageText(state.moveError));
    error_->setVisible(!state.moveError.empty());
    setLabelText(note_, rules::moveBannerNote(state), 3);
    move_->setTitle(rules::moveButtonTitle(state));
    move_->setBusy(state.movingApp);
    move_->setEnabled(!state.movingApp);
    show_->setEnabled(!state.movingApp);
}

UnsupportedBanner::UnsupportedBanner(WindowActions& actions, QWidget* parent)
    : Surface(18, Qt::white, black(0.15), parent) {
    setObjectName(QStringLiteral("unsupportedBanner"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(25, 25, 25, 25);
    column->setSpacing(14);
    title_ = new SymbolLabel("macwindow", "", 23, QFont::DemiBold, ink());
    column->addWidget(title_);
    rejections_ = new QVBoxLayout;
    rejections_->setSpacing(14);
    column->addLayout(rejections_);
    column->addWidget(label(HardwareSupportReport::requirements(), 12, QFont::Normal, secondary(), 3));
    column->addWidget(divider());
    column->addWidget(label(HardwareSupportReport{}.alternative(), 13, QFont::Normal, secondary(), 3));
    auto* open = new TessaronButton("Open web panel", false, this);
    column->addWidget(open, 0, Qt::AlignLeft);
    connect(open, &QAbstractButton::clicked, this, [&actions] { actions.openConsole(false); });
}

void UnsupportedBanner::render(const ViewState& state) {
    setVisible(rules::showUnsupportedBanner(state));
    title_->setText(state.support.title());
    if (shown_ == state.support.rejections) return;
    shown_ = state.support.rejections;
    while (QLayoutItem* item = rejections_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (HardwareRejection rejection : shown_)
        rejections_->addWidget(label(message(rejection), 14, QFont::Normal, ink(), 3));
}

}  // namespace tessaron::desktop
