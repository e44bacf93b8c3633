#include "app/pairing_card.h"

#include "app/view_rules.h"
#include "app/disclosure.h"
#include "panel/setup_progress.h"
#include "platform/symbols.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace tessaron::desktop {

using namespace style;

namespace {

QLabel* centred(QLabel* target) {
    target->setAlignment(Qt::AlignHCenter);
    return target;
}

}  // namespace

PairingCard::PairingCard(WindowActions& actions, QWidget* parent) : Surface(20, Qt::white, black(0.1), parent) {
    setObjectName(QStringLiteral("pairingCard"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(22);

    account_ = new QWidget(this);
    auto* accountColumn = new QVBoxLayout(account_);
    accountColumn->setContentsMargins(0, 0, 0, 0);
    accountColumn->setSpacing(3);
    accountColumn->addWidget(centred(label("Signed in as", 12, QFont::Normal, secondary())));
    email_ = centred(showsOutsideText(label("", 12)));
    makeSelectable(email_);
    accountColumn->addWidget(email_);
    column->addWidget(account_);

    badge_ = new MachineBadge(this);
    column->addWidget(badge_, 0, Qt::AlignHCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(10);
    title_ = centred(label("", 28, QFont::DemiBold));
    title_->setFont(style::font(28, QFont::DemiBold, -0.8));
    detail_ = centred(label("", 14, QFont::Normal, secondary(), 3));
    texts->addWidget(title_);
    texts->addWidget(detail_);
    column->addLayout(texts);

    auto* machine = new Surface(12, white(0.97), QColor(0, 0, 0, 0), this);
    auto* machineColumn = new QVBoxLayout(machine);
    machineColumn->setContentsMargins(16, 16, 16, 16);
    machineColumn->setSpacing(4);
    machineName_ = centred(showsOutsideText(label("", 15, QFont::DemiBold)));
    machineSummary_ = centred(showsOutsideText(label("", 12, QFont::Normal, secondary())));
    machineColumn->addWidget(machineName_);
    machineColumn->addWidget(machineSummary_);
    column->addWidget(machine);

    codeBox_ = new QWidget(this);
    auto* codeColumn = new QVBoxLayout(codeBox_);
    codeColumn->setContentsMargins(0, 0, 0, 0);
    codeColumn->setSpacing(10);
    codeColumn->addWidget(centred(label("Match this code in the web panel", 12, QFont::Normal, secondary())));
    // The panel's text: never markup, never wider than the card.
    code_label_ = centred(showsOutsideText(label("", 26, QFont::Medium, ink(), 0, codeBox_)));
    code_label_->setObjectName(QStringLiteral("pairingCode"));
    code_label_->setFont(style::font(26, QFont::Medium, 1, true));
    makeSelectable(code_label_);
    codeColumn->addWidget(code_label_);
    copy_ = new PlainButton("Copy code", 12, ink());
    copy_->setSymbol("doc.on.doc");
    codeColumn->addWidget(copy_, 0, Qt::AlignHCenter);
    column->addWidget(codeBox_);

    auto* stepsRow = new QHBoxLayout;
    stepsRow->setSpacing(0);
    stepsRow->setContentsMargins(0, 4, 0, 4);
    for (std::size_t index = 0; index < steps_.size(); ++index) {
        StepColumn& step = steps_[index];
        step.column = new QWidget(this);
        auto* stepColumn = new QVBoxLayout(step.column);
        stepColumn->setContentsMargins(0, 0, 0, 0);
        stepColumn->setSpacing(9);
        step.circle = new QLabel(step.column);
        step.circle->setFixedSize(26, 26);
        step.circle->setAlignment(Qt::AlignCenter);
        step.spinner = new Spinner(13, QColor(0, 0, 0, 150), step.circle);
        step.spinner->move(6, 6);
        step.title = new QLabel(qs(SetupPresentation::steps[index]), step.column);
        stepColumn->addWidget(step.circle, 0, Qt::AlignHCenter);
        stepColumn->addWidget(step.title, 0, Qt::AlignHCenter);
        stepsRow->addWidget(step.column, 1, Qt::AlignTop);
    }
    auto* stepsBox = new QWidget(this);
    stepsBox->setLayout(stepsRow);
    stepsBox->setAccessibleName(QStringLiteral("Setup progress"));
    column->addWidget(stepsBox);

    openPanelActions_ = new QWidget(this);
    auto* panelColumn = new QVBoxLayout(openPanelActions_);
    panelColumn->setContentsMargins(0, 0, 0, 0);
    panelColumn->setSpacing(10);
    auto* openPanel = new TessaronButton("Open web panel", true);
    openPanel->setObjectName(QStringLiteral("pairingOpenPanel"));
    openPanel->setCentred();
    panelColumn->addWidget(openPanel);
    panelColumn->addWidget(centred(label("Use your Tessaron account password in the browser, not your Mac\u2019s login "
                                         "password. This code expires after 10 minutes.",
                                         12, QFont::Normal, secondary())));
    panelColumn->addWidget(centred(label("Pairing enables background hosting and a menu bar icon. macOS may show a "
                                         "background-activity notice.",
                                         12, QFont::Normal, secondary())));
    column->addWidget(openPanelActions_);

    waitingLine_ = centred(label("Both screens update automatically. You can stay here while Tessaron finishes.", 12,
                                 QFont::Normal, secondary()));
    column->addWidget(waitingLine_);

    resume_ = new TessaronButton("Resume setup", true, this);
    resume_->setObjectName(QStringLiteral("resumeSetup"));
    column->addWidget(resume_, 0, Qt::AlignHCenter);

    completeActions_ = new QWidget(this);
    auto* completeColumn = new QVBoxLayout(completeActions_);
    completeColumn->setContentsMargins(0, 0, 0, 0);
    completeColumn->setSpacing(10);
    auto* openAI = new TessaronButton("Connect your AI assistant", true);
    openAI->setCentred();
    auto* manually = new TessaronButton("Continue manually", false);
    manually->setCentred();
    completeColumn->addWidget(openAI);
    completeColumn->addWidget(manually);
    completeColumn->addWidget(centred(label("Linked does not mean your apps are public yet. Continue in the panel to "
                                            "prepare SSH and choose what to share.",
                                            12, QFont::Normal, secondary())));
    column->addWidget(completeActions_);

    help_ = new QWidget(this);
    auto* helpColumn = new QVBoxLayout(help_);
    helpColumn->setContentsMargins(0, 0, 0, 0);
    helpColumn->setSpacing(10);
    auto* disclosure = new Disclosure("About setup & background hosting", 12, ink(), help_);
    auto* helpText = label("Tessaron creates one server, or keeps the one you already have. Pairing enables background "
                           "hosting and a menu bar icon. macOS may notify you about background activity. Keep your Mac "
                           "awake, online and signed in. If setup is interrupted, reopen Tessaron and resume; your "
                           "existing files are preserved.",
                           12, QFont::Normal, secondary(), 3);
    helpText->hide();
    helpColumn->addWidget(disclosure, 0, Qt::AlignLeft);
    helpColumn->addWidget(helpText);
    column->addWidget(help_);

    connect(disclosure, &QToolButton::toggled, helpText, &QWidget::setVisible);
    connect(copy_, &QAbstractButton::clicked, this, [this] {
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(qs(code_));
        copied_ = true;
        copy_->setTitle("Copied");
        copy_->setSymbol("checkmark");
    });
    connect(openPanel, &QAbstractButton::clicked, this, [&actions] { actions.openConsole(false); });
    connect(resume_, &QAbstractButton::clicked, this, [&actions] { actions.setup(); });
    connect(openAI, &QAbstractButton::clicked, this, [&actions] { actions.openConsolePage("console/ai-access"); });
    connect(manually, &QAbstractButton::clicked, this, [&actions] {
        actions.openConsole(false);
        actions.leaveSetupCard();
    });
}

void PairingCard::render(const ViewState& state) {
    const rules::PairingCard card = rules::pairingCard(state);
    if (state.pairingCode != code_) {
        code_ = state.pairingCode;
        copied_ = false;
        copy_->setTitle("Copy code");
        copy_->setSymbol("doc.on.doc");
    }

    account_->setVisible(card.accountEmail.has_value());
    setLabelText(email_, card.accountEmail.value_or(""));
    if (card.complete)
        badge_->setMark("checkmark", Qt::white, green());
    else
        badge_->setMark("link", green(), white(0.93));
    setLabelText(title_, card.title);
    setLabelText(detail_, card.detail, 3);
    setLabelText(machineName_, card.machineName);
    setLabelText(machineSummary_, card.machineSummary);
    codeBox_->setVisible(card.showCodeBox);
    code_label_->setText(qs(card.code));

    for (std::size_t index = 0; index < steps_.size(); ++index) {
        StepColumn& step = steps_[index];
        const rules::StepMark mark = card.steps[index];
        const bool current = mark == rules::StepMark::current;
        const bool spinning = current && card.working;
        if (mark == rules::StepMark::done) {
            QFont glyph = symbols::font(1, QFont::DemiBold);
            glyph.setPixelSize(13);
            step.circle->setFont(glyph);
            step.circle->setText(symbols::text("checkmark"));
            step.circle->setStyleSheet(QStringLiteral("background: %1; color: white; border-radius: 13px;").arg(css(green())));
        } else {
            step.circle->setFont(style::font(11));
            step.circle->setText(spinning ? QString() : QString::number(index + 1));
            step.circle->setStyleSheet(QStringLiteral("background: %1; color: %2; border-radius: 13px;")
                                           .arg(css(white(0.97)), css(secondary())));
        }
        step.spinner->setVisible(spinning);
        step.title->setFont(style::font(11, current ? QFont::DemiBold : QFont::Normal));
        step.title->setStyleSheet(QStringLiteral("color: %1;").arg(css(current ? green() : secondary())));
        step.column->setAccessibleName(qs(rules::stepAccessibilityText(SetupPresentation::steps[index], mark)));
    }

    openPanelActions_->setVisible(card.actions == rules::PairingActions::openPanel);
    waitingLine_->setVisible(card.actions == rules::PairingActions::waiting);
    resume_->setVisible(card.actions == rules::PairingActions::resume);
    resume_->setEnabled(card.canResume);
    completeActions_->setVisible(card.actions == rules::PairingActions::complete);
    help_->setVisible(card.showHelp);
}

}  // namespace tessaron::desktop
