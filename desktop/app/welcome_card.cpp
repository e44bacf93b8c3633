#include "app/welcome_card.h"

#include "app/view_rules.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace tessaron::desktop {

using namespace style;

WelcomeCard::WelcomeCard(WindowActions& actions, QWidget* parent)
    : Surface(20, Qt::white, black(0.08), parent), actions_(actions) {
    setObjectName(QStringLiteral("welcomeCard"));
    setMaximumWidth(430);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(20);

    badge_ = new MachineBadge(this);
    column->addWidget(badge_, 0, Qt::AlignHCenter);

    stepLine_ = new QLabel(this);
    stepLine_->setFont(style::font(11, QFont::Medium, 0.6));
    stepLine_->setStyleSheet(QStringLiteral("color: %1;").arg(css(secondary())));
    column->addWidget(stepLine_, 0, Qt::AlignHCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(11);
    QFont titleFont = style::font(27, QFont::DemiBold, -0.8);
    title_ = label("", 27, QFont::DemiBold);
    title_->setFont(titleFont);
    title_->setAlignment(Qt::AlignHCenter);
    detail_ = label("", 13.5, QFont::Normal, secondary(), 3);
    detail_->setAlignment(Qt::AlignHCenter);
    texts->addWidget(title_);
    texts->addWidget(detail_);
    column->addLayout(texts);

    points_ = new Surface(12, white(0.97), QColor(0, 0, 0, 0), this);
    pointRows_ = new QVBoxLayout(points_);
    pointRows_->setContentsMargins(15, 15, 15, 15);
    pointRows_->setSpacing(11);
    column->addWidget(points_);

    requirements_ = new Surface(0, white(0.965), QColor(0, 0, 0, 0), this);
    requirements_->setCapsule(true);
    auto* chipRow = new QHBoxLayout(requirements_);
    chipRow->setContentsMargins(12, 7, 12, 7);
    QLabel* chip = label(OnboardingPresentation::requirements, 11.5, QFont::Normal, secondary());
    chip->setWordWrap(false);
    chipRow->addWidget(chip);
    column->addWidget(requirements_, 0, Qt::AlignHCenter);

    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(9);
    main_ = new TessaronButton("", true, this);
    main_->setObjectName(QStringLiteral("welcomeMain"));
    main_->setStretched(true);
    main_->setMinimumLabelHeight(24);
    secondary_ = new TessaronButton("", false, this);
    secondary_->setObjectName(QStringLiteral("welcomeSecondary"));
    secondary_->setCentred();
    secondary_->setMinimumLabelHeight(24);
    buttons->addWidget(main_);
    buttons->addWidget(secondary_);
    column->addLayout(buttons);

    auto* footer = new QHBoxLayout;
    footer->setSpacing(14);
    footer->setContentsMargins(0, 2, 0, 0);
    back_ = new PlainButton("Back", 12, secondary());
    auto* skip = new PlainButton("Skip this", 12, secondary());
    footer->addWidget(back_);
    footer->addStretch(1);
    footer->addWidget(skip);
    column->addLayout(footer);

    connect(main_, &QAbstractButton::clicked, this, &WelcomeCard::mainPressed);
    connect(secondary_, &QAbstractButton::clicked, this, &WelcomeCard::secondaryPressed);
    connect(back_, &QAbstractButton::clicked, this, [this] { moveTo(OnboardingStep::account, opened_); });
    connect(skip, &QAbstractButton::clicked, this, [this] { actions_.skipOnboarding(); });
}

void WelcomeCard::moveTo(OnboardingStep step, bool opened) {
    // Any change of step, whichever way, forgets that the browser was opened.
    opened_ = step == step_ ? opened : false;
    if (step != step_) actions_.setOnboardingStep(step);
}

void WelcomeCard::mainPressed() {
    const rules::WelcomeMove move = rules::welcomeMainPressed(step_, opened_);
    switch (move.effect) {
    case rules::WelcomeEffect::openSignup: actions_.openConsolePage("signup"); break;
    case rules::WelcomeEffect::openPanel: actions_.openConsole(false); break;
    case rules::WelcomeEffect::start: actions_.setup(); break;
    case rules::WelcomeEffect::none: break;
    }
    moveTo(move.step, move.opened);
    secondary_->setPrimary(opened_);
}

void WelcomeCard::secondaryPressed() {
    const rules::WelcomeMove move = rules::welcomeSecondaryPressed(step_, opened_);
    moveTo(move.step, move.opened);
}

void WelcomeCard::rebuildPoints(const OnboardingPresentation& presentation) {
    while (QLayoutItem* item = pointRows_->takeAt(0)) {
        if (item->layout()) {
            while (QLayoutItem* inner = item->layout()->takeAt(0)) {
                delete inner->widget();
                delete inner;
            }
        }
        delete item->widget();
        delete item;
    }
    for (std::size_t index = 0; index < presentation.points.size(); ++index) {
        auto* row = new QHBoxLayout;
        row->setSpacing(11);
        row->addWidget(numberBadge(static_cast<int>(index + 1), 19, green(), Qt::white, 11, QFont::DemiBold), 0,
                       Qt::AlignTop);
        row->addWidget(label(presentation.points[index], 12.5, QFont::Normal, ink(), 3), 1);
        pointRows_->addLayout(row);
    }
}

void WelcomeCard::render(const ViewState& state) {
    if (state.onboardingStep != step_) opened_ = false;
    step_ = state.onboardingStep;
    installed_ = state.durablyInstalled;
    busy_ = state.settingUp;
    const OnboardingPresentation presentation(step_);
    const rules::WelcomeCard card = rules::welcomeCard(step_, installed_, busy_, opened_);

    badge_->setMark(card.markSymbol, green(), white(0.93));
    stepLine_->setText(qs(card.stepLine));
    setLabelText(title_, presentation.title);
    setLabelText(detail_, presentation.detail, 3);

    points_->setVisible(card.showPoints);
    if (pointsFor_ != step_) rebuildPoints(presentation);
    pointsFor_ = step_;
    requirements_->setVisible(card.showRequirements);
    main_->setTitle(card.mainLabel);
    main_->setBusy(card.mainSpinner);
    main_->setTrailingSymbol(card.mainSymbol);
    main_->setEnabled(card.mainEnabled);
    secondary_->setVisible(card.secondaryLabel.has_value());
    secondary_->setTitle(card.secondaryLabel.value_or(""));
    secondary_->setPrimary(card.secondaryPrimary);
    secondary_->setEnabled(card.secondaryEnabled);
    back_->setVisible(card.showBack);
}

}  // namespace tessaron::desktop
