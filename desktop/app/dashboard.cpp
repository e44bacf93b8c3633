#include "app/dashboard.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace tessaron::desktop {

using namespace style;

Dashboard::Dashboard(WindowActions& actions, Confirm confirm, QWidget* parent)
    : Surface(20, Qt::white, black(0.08), parent), actions_(actions), confirm_(std::move(confirm)) {
    setObjectName(QStringLiteral("dashboard"));
    setShadow(0.045, 22, 9);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(25, 25, 25, 25);
    column->setSpacing(22);

    // Header: the server and its public access.
    auto* header = new QHBoxLayout;
    auto* names = new QVBoxLayout;
    names->setSpacing(6);
    auto* title = label("Your server", 27, QFont::DemiBold);
    title->setFont(style::font(27, QFont::DemiBold, -0.8));
    subtitle_ = showsOutsideText(label("", 13, QFont::Normal, secondary()));
    names->addWidget(title);
    names->addWidget(subtitle_);
    header->addLayout(names, 1);
    pill_ = new Surface(0, QColor(), QColor(0, 0, 0, 0), this);
    pill_->setCapsule(true);
    auto* pillRow = new QHBoxLayout(pill_);
    pillRow->setContentsMargins(11, 7, 11, 7);
    pillLabel_ = new SymbolLabel("circle.dotted", "", 12, QFont::Medium, secondary());
    pillLabel_->textLabel()->setWordWrap(false);
    pillRow->addWidget(pillLabel_);
    header->addWidget(pill_, 0, Qt::AlignVCenter);
    column->addLayout(header);

    // Resources.
    auto* resources = new Surface(14, white(0.975), black(0.065), this);
    auto* resourcesColumn = new QVBoxLayout(resources);
    resourcesColumn->setContentsMargins(20, 20, 20, 20);
    resourcesColumn->setSpacing(20);
    auto* resourcesHeader = new QHBoxLayout;
    resourcesHeader->addWidget(label("Server resources", 12, QFont::Medium, secondary()));
    resourcesHeader->addStretch(1);
    edit_ = new PlainButton("Edit", 12, ink(), QFont::Medium);
    edit_->setObjectName(QStringLiteral("editResources"));
    edit_->setSymbol("slider.horizontal.3");
    edit_->setAccessibleName(QStringLiteral("Edit server resources"));
    resourcesHeader->addWidget(edit_);
    resourcesColumn->addLayout(resourcesHeader);
    auto* metrics = new QHBoxLayout;
    metrics->setSpacing(0);
    const auto separator = [&] {
        auto* line = new QFrame(this);
        line->setFixedSize(1, 51);
        line->setStyleSheet(QStringLiteral("background: %1;").arg(css(black(0.1))));
        metrics->addSpacing(22);
        metrics->addWidget(line, 0, Qt::AlignTop);
        metrics->addSpacing(22);
    };
    metrics->addWidget(metric(cpu_, "CPU cores", "cpu"), 1, Qt::AlignTop);
    separator();
    metrics->addWidget(metric(memory_, "Memory", "memorychip"), 1, Qt::AlignTop);
    separator();
    metrics->addWidget(metric(server_, "Linux server", "server.rack"), 1, Qt::AlignTop);
    resourcesColumn->addLayout(metrics);
    column->addWidget(resources);

    // The connection action.
    connection_ = new QWidget(this);
    auto* connectionColumn = new QVBoxLayout(connection_);
    connectionColumn->setContentsMargins(0, 0, 0, 0);
    connectionColumn->setSpacing(10);
    connect_ = new TessaronButton("", true, connection_);
    connect_->setObjectName(QStringLiteral("connectionAction"));
    connect_->setLeadingSymbol("network", 18);
    connect_->setStretched(true);
    connect_->setMinimumLabelHeight(24);
    connect_->setTrailingSymbol("arrow.right");
    connect_->setSpinnerTrailing();
    connectionDetail_ = label("", 13, QFont::Normal, secondary());
    connectionColumn->addWidget(connect_);
    connectionColumn->addWidget(connectionDetail_);
    column->addWidget(connection_);

    // The AI assistant, the web panel and Terminal.
    auto* apps = new QVBoxLayout;
    apps->setSpacing(12);
    ai_ = new TessaronButton("Connect your AI assistant", false, this);
    ai_->setObjectName(QStringLiteral("aiAssistant"));
    ai_->setLeadingSymbol("sparkles");
    ai_->setStretched(true);
    ai_->setTrailingSymbol("arrow.up.right");
    apps->addWidget(ai_);
    apps->addWidget(label("Let Codex, Claude Code or Cursor manage Tessaron through MCP. Choose which Macs it can access "
                          "in the panel; your assistant uses SSH to set up apps in Linux. You can also continue manually "
                          "below.",
                          12, QFont::Normal, secondary(), 3));
    auto* appButtons = new QHBoxLayout;
    appButtons->setSpacing(11);
    panel_ = new TessaronButton("", false, this);
    panel_->setObjectName(QStringLiteral("webPanel"));
    panel_->setStretched(true);
    panel_->setTrailingSymbol("arrow.up.right");
    terminal_ = new TessaronButton("Open terminal", false, this);
    terminal_->setObjectName(QStringLiteral("openTerminal"));
    terminal_->setLeadingSymbol("terminal");
    appButtons->addWidget(panel_, 1);
    appButtons->addWidget(terminal_);
    apps->addLayout(appButtons);
    apps->addWidget(label("Open terminal enters Linux in Apple Terminal. Install and start your app there, then choose it "
                          "under Public access in the web panel. If your app is already running, go straight to the "
                          "panel.",
                          12, QFont::Normal, secondary(), 3));
    apps->addWidget(label("Commands run in Linux. Its sudo command does not use your Mac\u2019s login password.", 11,
                          QFont::Normal, secondary(), 2));
    column->addLayout(apps);

    // Lifecycle and public access.
    auto* lifecycle = new QVBoxLayout;
    lifecycle->setSpacing(10);
    lifecycle->addWidget(divider(0.6));
    auto* lifecycleRow = new QHBoxLayout;
    lifecycleRow->setSpacing(12);
    lifecycleRow->setContentsMargins(0, 7, 0, 0);
    access_ = new PlainButton("", 12, ink(), QFont::Medium);
    access_->setObjectName(QStringLiteral("publicAccess"));
    restart_ = new PlainButton("", 12, ink(), QFont::Medium);
    restart_->setObjectName(QStringLiteral("restartServer"));
    restart_->setSymbol("arrow.clockwise");
    power_ = new PlainButton("", 12, ink(), QFont::Medium);
    power_->setObjectName(QStringLiteral("powerServer"));
    lifecycleRow->addWidget(access_);
    lifecycleRow->addStretch(1);
    lifecycleRow->addWidget(restart_);
    lifecycleRow->addWidget(power_);
    lifecycle->addLayout(lifecycleRow);
    explanation_ = showsOutsideText(label("", 11, QFont::Normal, secondary(), 2));
    explanation_->setObjectName(QStringLiteral("lifecycleExplanation"));
    lifecycle->addWidget(explanation_);
    links_ = new QWidget(this);
    auto* linksRow = new QHBoxLayout(links_);
    linksRow->setContentsMargins(0, 0, 0, 0);
    linksRow->setSpacing(18);
    auto* details = new PlainButton("View connection details in panel \u2197", 11, palette().color(QPalette::Link));
    keepOff_ = new PlainButton("Keep public access off", 11, palette().color(QPalette::Link));
    linksRow->addWidget(details);
    linksRow->addWidget(keepOff_);
    linksRow->addStretch(1);
    lifecycle->addWidget(links_);
    column->addLayout(lifecycle);

    connect(edit_, &QAbstractButton::clicked, this, [this] { actions_.editResources(); });
    connect(connect_, &QAbstractButton::clicked, this, [this] { actions_.connect(); });
    connect(ai_, &QAbstractButton::clicked, this, [this] { actions_.openConsolePage("console/ai-access"); });
    connect(panel_, &QAbstractButton::clicked, this, [this] { actions_.openConsole(false); });
    connect(terminal_, &QAbstractButton::clicked, this, [this] { actions_.openTerminal(); });
    connect(access_, &QAbstractButton::clicked, this, [this] { actions_.changePublicAccess(); });
    connect(restart_, &QAbstractButton::clicked, this, [this] {
        confirm_(rules::restartServerConfirmation(), [this] { actions_.restartServer(); });
    });
    connect(power_, &QAbstractButton::clicked, this, [this] {
        if (!powerAsks_) {
            actions_.power("start");
            return;
        }
        confirm_(rules::turnOffServerConfirmation(), [this] { actions_.power("stop"); });
    });
    connect(details, &QAbstractButton::clicked, this, [this] { actions_.openConnectionDetails(); });
    connect(keepOff_, &QAbstractButton::clicked, this, [this] { actions_.keepPublicAccessOff(); });
}

QWidget* Dashboard::metric(FittingLabel*& value, const std::string& title, std::string_view icon) {
    auto* tile = new QWidget(this);
    auto* column = new QVBoxLayout(tile);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    value = new FittingLabel(25, QFont::Medium, -0.8, 0.7, tile);
    column->addWidget(value);
    auto* caption = new SymbolLabel(icon, title, 11, QFont::Normal, secondary(), tile);
    caption->textLabel()->setWordWrap(false);
    column->addWidget(caption, 0, Qt::AlignLeft);
    return tile;
}

void Dashboard::render(const ViewState& state) {
    const rules::Dashboard view = rules::dashboard(state);
    setLabelText(subtitle_, view.subtitle);
    pillLabel_->setText(view.pillText);
    pillLabel_->setSymbol(view.pillSymbol);
    pillLabel_->setColour(view.pillLive ? liveGreen() : secondary());
    pill_->setFill(view.pillLive ? QColor(52, 199, 89, 18) : QColor(142, 142, 147, 15));
    edit_->setEnabled(view.editEnabled);
    cpu_->setFullText(qs(view.cpuValue));
    memory_->setFullText(qs(view.memoryValue));
    server_->setFullText(qs(view.serverValue));

    const rules::ConnectionAction action = rules::connectionAction(state);
    connection_->setVisible(action.show);
    connect_->setTitle(action.title);
    connect_->setBusy(action.busy);
    connect_->setEnabled(action.enabled);
    setLabelText(connectionDetail_, action.detail);

    ai_->setPrimary(view.panelEmphasis);
    panel_->setPrimary(view.panelEmphasis);
    panel_->setTitle(view.panelTitle);
    terminal_->setEnabled(view.terminalEnabled);

    const rules::LifecycleCard card = rules::lifecycleCard(state);
    access_->setTitle(card.accessTitle);
    access_->setSymbol(card.accessSymbol);
    access_->setEnabled(card.accessEnabled);
    restart_->setTitle(card.restartTitle);
    restart_->setEnabled(card.restartEnabled);
    power_->setTitle(card.powerTitle);
    power_->setSymbol(card.powerSymbol);
    power_->setEnabled(card.powerEnabled);
    powerAsks_ = card.powerAsks;
    setLabelText(explanation_, card.explanation, card.explanationLineSpacing);
    links_->setVisible(card.showLinks);
    keepOff_->setVisible(card.showKeepOff);
    keepOff_->setEnabled(card.keepOffEnabled);
}

}  // namespace tessaron::desktop
