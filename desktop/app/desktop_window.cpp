#include "app/desktop_window.h"

#include "app/banners.h"
#include "app/dashboard.h"
#include "app/footer.h"
#include "app/onboarding_form.h"
#include "app/overlays.h"
#include "app/pairing_card.h"
#include "app/style.h"
#include "app/welcome_card.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QScrollArea>
#include <QVBoxLayout>

namespace tessaron::desktop {

using namespace style;

namespace {

// The header's picture fitted into 37 × 37 points: `file`, or on a dense screen the file of twice
// the pixels beside it ("logo@2x.png" beside "logo.png") when there is one. Null when neither
// can be read.
QPixmap logoPicture(const QString& file, double ratio) {
    QPixmap picture;
    if (ratio > 1) {
        const QFileInfo plain(file);
        picture.load(plain.dir().filePath(plain.completeBaseName() + QStringLiteral("@2x.") + plain.suffix()));
    }
    if (picture.isNull() && !picture.load(file)) return {};
    QPixmap fitted = picture.scaled(QSize(37, 37) * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    fitted.setDevicePixelRatio(ratio);
    return fitted;
}

}  // namespace

DesktopWindow::DesktopWindow(WindowActions& actions, const QString& logoFile, QWidget* parent)
    : QWidget(parent), actions_(actions) {
    setObjectName(QStringLiteral("desktopWindow"));
    setWindowTitle(QStringLiteral("Tessaron"));
    setMinimumSize(590, 510);
    resize(640, 550);

    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget#content { background: transparent; }"));
    useThinScrollBars(scroll_);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll_);

    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("content"));
    content->setAutoFillBackground(false);
    auto* centring = new QHBoxLayout(content);
    centring->setContentsMargins(0, 0, 0, 0);
    auto* columnWidget = new QWidget(content);
    columnWidget->setMaximumWidth(660);
    centring->addStretch(0);
    centring->addWidget(columnWidget, 1);
    centring->addStretch(0);
    auto* column = new QVBoxLayout(columnWidget);
    column->setContentsMargins(25, 25, 25, 25);
    column->setSpacing(22);

    // Header.
    auto* header = new QHBoxLayout;
    header->setContentsMargins(3, 0, 3, 0);
    header->setSpacing(7);
    auto* logo = new QLabel;
    const QPixmap picture = logoPicture(logoFile, devicePixelRatioF());
    logo->setVisible(!picture.isNull());
    if (!picture.isNull()) {
        logo->setFixedSize(37, 37);
        logo->setAlignment(Qt::AlignCenter);
        logo->setPixmap(picture);
    }
    header->addWidget(logo);
    auto* name = new QLabel(QStringLiteral("Tessaron."));
    name->setFont(style::font(21, QFont::DemiBold, -0.7));
    header->addWidget(name);
    header->addStretch(1);
    billing_ = new PlainButton("Billing & usage", 12, secondary());
    header->addWidget(billing_);
    column->addLayout(header);

    update_ = new UpdateBanner(actions_);
    move_ = new MoveBanner(actions_);
    unsupported_ = new UnsupportedBanner(actions_);
    pairing_ = new PairingCard(actions_);
    welcome_ = new WelcomeCard(actions_);
    onboarding_ = new OnboardingForm(actions_);
    dashboard_ = new Dashboard(actions_, [this](const rules::Confirmation& c, std::function<void()> f) {
        confirm(c, std::move(f));
    });
    error_ = new SymbolLabel("exclamationmark.circle", "", 13, QFont::Normal, red());
    error_->setObjectName(QStringLiteral("errorLine"));
    makeSelectable(showsOutsideText(error_->textLabel()));
    footer_ = new Footer(actions_);
    for (QWidget* part : std::initializer_list<QWidget*>{update_, move_, unsupported_, pairing_})
        column->addWidget(part);
    // The welcome card keeps its own width, centred in the column. Its shadow is cast by the row
    // that centres it, so that the shadow reaches past the card into the column's spacing rather
    // than being cut at the card's edges.
    welcomeRow_ = new QWidget;
    addShadow(welcomeRow_, 0.045, 22, 9);
    auto* welcomeRow = new QHBoxLayout(welcomeRow_);
    welcomeRow->setContentsMargins(0, 0, 0, 0);
    welcomeRow->addStretch(1);
    welcomeRow->addWidget(welcome_, 100);
    welcomeRow->addStretch(1);
    column->addWidget(welcomeRow_);
    for (QWidget* part : std::initializer_list<QWidget*>{onboarding_, dashboard_, error_, footer_}) column->addWidget(part);
    column->addStretch(1);
    scroll_->setWidget(content);
    scroll_->viewport()->setAutoFillBackground(false);

    sheet_ = new ResourceSheet(this, actions_, [this](const rules::Confirmation& c, std::function<void()> f) {
        confirm(c, std::move(f));
    });

    connect(billing_, &QAbstractButton::clicked, this, [this] { actions_.openConsole(true); });
    setState(state_);
}

void DesktopWindow::setState(const ViewState& state) {
    state_ = state;
    billing_->setVisible(state.paired);
    update_->render(state);
    move_->render(state);
    unsupported_->render(state);

    card_ = rules::mainCard(state);
    pairing_->setVisible(card_ == rules::MainCard::pairing);
    welcomeRow_->setVisible(card_ == rules::MainCard::welcome);
    onboarding_->setVisible(card_ == rules::MainCard::onboarding);
    dashboard_->setVisible(card_ == rules::MainCard::dashboard);
    switch (card_) {
    case rules::MainCard::pairing: pairing_->render(state); break;
    case rules::MainCard::welcome: welcome_->render(state); break;
    case rules::MainCard::onboarding: onboarding_->render(state); break;
    case rules::MainCard::dashboard: dashboard_->render(state); break;
    case rules::MainCard::none: break;
    }

    error_->setVisible(!state.error.empty());
    error_->setText(rules::messageText(state.error));
    footer_->render(state);

    sheet_->render(state);
    if (state.showResources && !sheet_->isVisible()) {
        sheet_->present();
        if (ConfirmationAlert* open = alert()) {
            open->raise();
            open->setFocus(Qt::OtherFocusReason);  // the alert on top keeps the keyboard
        }
    } else if (!state.showResources && sheet_->isVisible()) {
        sheet_->hide();
    }
}

ConfirmationAlert* DesktopWindow::alert() const {
    for (auto* candidate : findChildren<ConfirmationAlert*>(QString(), Qt::FindDirectChildrenOnly))
        if (candidate->isVisible()) return candidate;
    return nullptr;
}

void DesktopWindow::confirm(const rules::Confirmation& confirmation, std::function<void()> confirmed) {
    if (alert()) return;  // one alert at a time
    auto* shown = new ConfirmationAlert(this, confirmation, std::move(confirmed));
    shown->present();
}

void DesktopWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), white(0.97));
    QLinearGradient gradient(rect().topLeft(), rect().bottomRight());
    gradient.setColorAt(0, QColor(255, 255, 255));
    gradient.setColorAt(0.5, QColor(128, 128, 128, 9));
    gradient.setColorAt(1, QColor(255, 255, 255, 102));
    painter.fillRect(rect(), gradient);
}

}  // namespace tessaron::desktop
