#include "app/onboarding_form.h"

#include "app/view_rules.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

namespace tessaron::desktop {

using namespace style;

OnboardingForm::OnboardingForm(WindowActions& actions, QWidget* parent)
    : Surface(20, QColor(255, 255, 255, 219), QColor(0, 0, 0, 0), parent) {
    setObjectName(QStringLiteral("onboardingForm"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(25, 25, 25, 25);
    column->setSpacing(22);

    auto* intro = new QVBoxLayout;
    intro->setSpacing(9);
    title_ = label("", 28, QFont::DemiBold);
    title_->setFont(style::font(28, QFont::DemiBold, -0.8));
    subtitle_ = label("", 14, QFont::Normal, secondary());
    intro->addWidget(title_);
    intro->addWidget(subtitle_);
    column->addLayout(intro);

    auto* mac = new QHBoxLayout;
    chip_ = new SymbolLabel("cpu", "", 13, QFont::Normal, secondary());
    showsOutsideText(chip_->textLabel());
    capacity_ = label("", 13, QFont::Normal, secondary());
    capacity_->setWordWrap(false);
    mac->addWidget(chip_);
    mac->addStretch(1);
    mac->addWidget(capacity_);
    column->addLayout(mac);

    existing_ = new QWidget(this);
    auto* existingRow = new QHBoxLayout(existing_);
    existingRow->setContentsMargins(0, 0, 0, 0);
    auto* current = new QVBoxLayout;
    current->setSpacing(4);
    current->addWidget(label("Current server resources", 12, QFont::Normal, secondary()));
    allocation_ = showsOutsideText(label("", 14, QFont::Medium));
    current->addWidget(allocation_);
    existingRow->addLayout(current);
    existingRow->addStretch(1);
    edit_ = new QPushButton(QStringLiteral("Edit resources"), existing_);
    useStandardLook(edit_);
    existingRow->addWidget(edit_);
    column->addWidget(existing_);

    newServer_ = new QWidget(this);
    auto* steppers = new QVBoxLayout(newServer_);
    steppers->setContentsMargins(0, 0, 0, 0);
    steppers->setSpacing(14);
    steppers->addWidget(divider(0.5));
    cpu_ = new Stepper("CPU cores", "", newServer_);
    cpu_->setObjectName(QStringLiteral("cpuStepper"));
    memory_ = new Stepper("Memory", " GiB", newServer_);
    memory_->setObjectName(QStringLiteral("memoryStepper"));
    steppers->addWidget(cpu_);
    steppers->addWidget(memory_);
    column->addWidget(newServer_);

    auto* next = new Surface(10, white(0.965), QColor(0, 0, 0, 0), this);
    auto* nextColumn = new QVBoxLayout(next);
    nextColumn->setContentsMargins(16, 16, 16, 16);
    nextColumn->setSpacing(8);
    nextTitle_ = label("", 13, QFont::Medium);
    nextDetail_ = label("", 12, QFont::Normal, secondary(), 3);
    diskNote_ = label("", 12, QFont::Normal, secondary(), 3);
    nextColumn->addWidget(nextTitle_);
    nextColumn->addWidget(nextDetail_);
    nextColumn->addWidget(diskNote_);
    column->addWidget(next);

    setup_ = new TessaronButton("", true, this);
    setup_->setObjectName(QStringLiteral("setupButton"));
    setup_->setStretched(true);
    setup_->setMinimumLabelHeight(24);
    setup_->setTrailingSymbol("arrow.right");
    column->addWidget(setup_);

    auto* advancedColumn = new QVBoxLayout;
    advancedColumn->setSpacing(10);
    advanced_ = new Disclosure("Advanced settings", 12, secondary(), this);
    address_ = new QLineEdit(this);
    address_->setPlaceholderText(QStringLiteral("Tessaron server address"));
    address_->setFont(style::font(13));
    useStandardLook(address_);
    address_->setVisible(false);
    advancedColumn->addWidget(advanced_, 0, Qt::AlignLeft);
    advancedColumn->addWidget(address_);
    column->addLayout(advancedColumn);

    connect(advanced_, &QToolButton::toggled, address_, &QWidget::setVisible);
    connect(address_, &QLineEdit::textEdited, this, [&actions](const QString& text) { actions.setControl(text.toStdString()); });
    connect(cpu_, &Stepper::valueEdited, this, [&actions](int value) { actions.setCPU(value); });
    connect(memory_, &Stepper::valueEdited, this, [&actions](int value) { actions.setMemory(value); });
    connect(edit_, &QAbstractButton::clicked, this, [&actions] { actions.editResources(); });
    connect(setup_, &QAbstractButton::clicked, this, [&actions] { actions.setup(); });
}

void OnboardingForm::render(const ViewState& state) {
    const rules::OnboardingForm form = rules::onboardingForm(state);
    setEnabled(!state.settingUp);
    setLabelText(title_, form.title);
    setLabelText(subtitle_, form.subtitle);
    chip_->setText(form.chip);
    setLabelText(capacity_, form.capacityText);

    existing_->setVisible(state.vmExists);
    setLabelText(allocation_, form.allocationText);
    edit_->setEnabled(form.editEnabled);
    newServer_->setVisible(!state.vmExists);
    const rules::StepperRange cpuRange = rules::onboardingCPURange(state.capacity);
    const rules::StepperRange memoryRange = rules::onboardingMemoryRange(state.capacity);
    cpu_->setRange(cpuRange.minimum, cpuRange.maximum);
    cpu_->setValue(state.cpu);
    memory_->setRange(memoryRange.minimum, memoryRange.maximum);
    memory_->setValue(state.memory);

    setLabelText(nextTitle_, form.nextTitle);
    setLabelText(nextDetail_, form.nextDetail, 3);
    diskNote_->setVisible(form.diskNote.has_value());
    setLabelText(diskNote_, form.diskNote.value_or(""), 3);

    setup_->setTitle(form.setupLabel);
    setup_->setBusy(form.setupSpinner);
    setup_->setEnabled(form.setupEnabled);
    if (!address_->hasFocus() && address_->text() != qs(state.control)) address_->setText(qs(state.control));
}

}  // namespace tessaron::desktop
