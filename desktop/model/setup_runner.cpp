// The setup run: `tessaron onboard` (no VM yet) or `tessaron pair` (a VM exists), with standard
// output and standard error on one pipe, read line by line to follow the setup's progress.

#include "model/desktop_model.h"

#include "model/panel_address.h"
#include "panel/setup_progress.h"

#include <QProcess>

#include <unistd.h>

namespace tessaron::desktop {
namespace {

constexpr qsizetype maximumLogLength = 24'000;
constexpr std::uint64_t requiredFreeBytesShifted = 5;  // 10 GiB as (free bytes >> 31)

QString qText(const std::string& text) { return QString::fromStdString(text); }

std::optional<std::uint64_t> freeBytes(const std::filesystem::path& path) {
    std::error_code error;
    const auto space = std::filesystem::space(path, error);
    if (error) return std::nullopt;
    return space.available;
}

}  // namespace

void DesktopModel::setup() {
    if (child_ || settingUp_ || loadingResources_ || resizingResources_ || showResources_) return;
    if (!support_.isSupported()) return set(error_, qText(support_.explanation()), &DesktopModel::errorChanged);
    if (!durablyInstalled_)
        return set(error_, QString("Use Move to Applications below, or quit Tessaron and drag it there yourself."),
                   &DesktopModel::errorChanged);
    if (!isPanelOrigin(control_))
        return set(error_, QString("Enter an HTTPS control-server address, without a path or password."),
                   &DesktopModel::errorChanged);
    if (!vmExists_) {
        const auto free = options_.freeSpace ? options_.freeSpace(home_) : freeBytes(home_);
        if (!free || (*free >> 31) < requiredFreeBytesShifted)
            return set(error_, QString("Free at least 10 GiB before creating the VM. Its disk grows as you use it."),
                       &DesktopModel::errorChanged);
    }

    set(settingUp_, true, &DesktopModel::settingUpChanged);
    set(showingSetup_, true, &DesktopModel::showingSetupChanged);
    set(setupStage_, QString("unknown"), &DesktopModel::setupStageChanged);
    replace(setupSnapshot_, std::optional<SetupProgress>(), &DesktopModel::setupSnapshotChanged);
    receivedSetupEvent_ = false;
    set(pairingCode_, QString(), &DesktopModel::pairingCodeChanged);
    set(setupURL_, std::optional<QUrl>(), &DesktopModel::setupURLChanged);
    // An unterminated tail of an earlier run is not the start of this run's first line.
    partialLine_.clear();

    const std::string url = Url::parse(control_.toStdString())->absoluteString();
    if (vmExists_)
        start({"pair", "--control", url}, true);
    else
        start({"onboard", "--control", url, "--cpus", std::to_string(cpu_), "--memory-gib", std::to_string(memory_)},
              true);
}

void DesktopModel::start(const std::vector<std::string>& arguments, bool setup) {
    if (child_) return;
    set(error_, QString(), &DesktopModel::errorChanged);
    if (::access(program_.c_str(), X_OK) != 0 || std::filesystem::is_directory(program_)) {
        set(error_, QString("The app is missing its connection helper. Reinstall the complete Tessaron.app bundle."),
            &DesktopModel::errorChanged);
        set(settingUp_, false, &DesktopModel::settingUpChanged);
        set(setupStage_, QString("failed"), &DesktopModel::setupStageChanged);
        return;
    }

    auto* child = new QProcess(this);
    child->setProgram(QString::fromStdString(program_.string()));
    QStringList words;
    for (const auto& argument : arguments) words << qText(argument);
    child->setArguments(words);
    child->setProcessChannelMode(QProcess::MergedChannels);
    child->setStandardInputFile(QProcess::nullDevice());
    output_ = Utf8Stream();
    QObject::connect(child, &QProcess::readyReadStandardOutput, this, &DesktopModel::readChildOutput);
    QObject::connect(child, &QProcess::finished, this, [this, child, setup](int exitCode, QProcess::ExitStatus status) {
        if (child != child_) return;
        childFinished(status == QProcess::NormalExit ? exitCode : 128 + exitCode, setup);
    });
    child_ = child;
    emit setupChildChanged();

    child->start();
    if (child->waitForStarted(30'000)) {
        set(running_, true, &DesktopModel::runningChanged);
        set(connection_, setup ? QString("Setting up your Mac\u2026") : QString("Connecting\u2026"),
            &DesktopModel::connectionChanged);
        return;
    }
    const QString launchError = child->errorString();
    releaseChild();
    if (setup) set(setupStage_, QString("failed"), &DesktopModel::setupStageChanged);
    set(error_, launchError, &DesktopModel::errorChanged);
}

void DesktopModel::releaseChild() {
    child_->disconnect(this);
    child_->deleteLater();
    child_ = nullptr;
    emit setupChildChanged();
    set(running_, false, &DesktopModel::runningChanged);
    set(settingUp_, false, &DesktopModel::settingUpChanged);
}

void DesktopModel::readChildOutput() {
    if (!child_) return;
    const QByteArray bytes = child_->readAllStandardOutput();
    if (bytes.isEmpty()) return;
    const QString text = output_.decode(bytes);
    if (!text.isEmpty()) receive(text);
}

void DesktopModel::childFinished(int exitCode, bool setup) {
    // Every byte the child wrote is handled before its exit.
    readChildOutput();
    const QString rest = output_.finish();
    if (!rest.isEmpty()) receive(rest);

    releaseChild();
    refreshThen([this, exitCode, setup] {
        if (exitCode != 0) {
            set(pairingCode_, QString(), &DesktopModel::pairingCodeChanged);
            if (setup) set(setupStage_, QString("failed"), &DesktopModel::setupStageChanged);
            set(error_,
                QString("Setup could not finish. Review the activity log, then resume setup. Your existing server and "
                        "files are preserved."),
                &DesktopModel::errorChanged);
        } else if (setup && paired_) {
            set(pairingCode_, QString(), &DesktopModel::pairingCodeChanged);
            set(setupStage_, QString("complete"), &DesktopModel::setupStageChanged);
            connect();
        }
    });
}

void DesktopModel::receive(const QString& text) {
    QString log = log_ + text;
    if (log.size() > maximumLogLength) {
        qsizetype cut = log.size() - maximumLogLength;
        if (log[cut].isLowSurrogate()) ++cut;  // never keep half a character
        log.remove(0, cut);
    }
    set(log_, log, &DesktopModel::logChanged);

    partialLine_ += text;
    qsizetype newline;
    while ((newline = partialLine_.indexOf('\n')) >= 0) {
        const QString line = partialLine_.left(newline);
        partialLine_.remove(0, newline + 1);
        handleLine(line);
    }
}

void DesktopModel::handleLine(const QString& line) {
    if (const auto event = SetupProgressEvent::decode(line.toStdString())) {
        if (!settingUp_) return;
        if (setupSnapshot_ && setupSnapshot_->id && event->id != setupSnapshot_->id) return;
        const double previous = setupSnapshot_ ? setupSnapshot_->updatedAt.value_or(0) : 0;
        if (event->updatedAt.value_or(0) < previous) return;
        receivedSetupEvent_ = true;
        replace(setupSnapshot_, event, &DesktopModel::setupSnapshotChanged);
        set(setupStage_, qText(event->stage), &DesktopModel::setupStageChanged);
        if (event->code) set(pairingCode_, qText(*event->code), &DesktopModel::pairingCodeChanged);
        return;
    }

    const QString codeMarker = "with code: ";
    if (const qsizetype at = line.indexOf(codeMarker); at >= 0)
        set(pairingCode_, line.mid(at + codeMarker.size()).trimmed(), &DesktopModel::pairingCodeChanged);

    const QString linkMarker = "Setup link: ";
    if (line.startsWith(linkMarker)) {
        const Url console = consoleBase();
        const auto link = Url::parse(line.mid(linkMarker.size()).toStdString());
        if (link && link->scheme() == console.scheme() && link->host() == console.host() &&
            link->port() == console.port() && link->path() == "/console/connect" && !link->userInfo())
            set(setupURL_, std::optional<QUrl>(QUrl(qText(link->absoluteString()))), &DesktopModel::setupURLChanged);
    }

    if (!receivedSetupEvent_ && settingUp_) {
        if (!pairingCode_.isEmpty() && setupStage_ == "unknown")
            set(setupStage_, QString("awaiting_account"), &DesktopModel::setupStageChanged);
        if (line.startsWith("Account approved."))
            set(setupStage_, QString("approved"), &DesktopModel::setupStageChanged);
        if (line.startsWith("Creating the single") || line.startsWith("Keeping your existing"))
            set(setupStage_, QString("creating_vm"), &DesktopModel::setupStageChanged);
    }

    if (line.startsWith("WireGuard connected."))
        set(connection_, QString("Connected"), &DesktopModel::connectionChanged);
    else if (line.startsWith("Network reconnect pending:"))
        set(connection_, QString("Reconnecting\u2026"), &DesktopModel::connectionChanged);
    else if (line.startsWith("Guest networking configured."))
        set(connection_, QString("Finishing your connection\u2026"), &DesktopModel::connectionChanged);
}

}  // namespace tessaron::desktop
