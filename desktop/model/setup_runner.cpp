// The setup run: `tessaron onboard` (no VM yet) or `tessaron pair` (a VM exists), with standard
// output and standard error on one pipe, read line by line to follow the setup's progress.

#include "model/desktop_model.h"

#include "host/process_runner.h"
#include "model/panel_address.h"
#include "panel/setup_progress.h"

#include <QProcess>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace tessaron::desktop {
namespace {

constexpr qsizetype maximumLogLength = 24'000;
// A line of setup output is read up to this many characters; the rest of it is dropped. It holds
// the longest line the program writes, a progress line, whose bytes never decode to more
// characters than there are bytes.
constexpr auto maximumLineLength = static_cast<qsizetype>(SetupProgressEvent::maximumLineBytes);
// Setup output reaches the activity log at most this often.
constexpr std::chrono::milliseconds logInterval(100);
constexpr std::uint64_t requiredFreeBytesShifted = 5;  // 10 GiB as (free bytes >> 31)

QString qText(const std::string& text) { return QString::fromStdString(text); }

// Keeps the last `limit` characters of `text`, never half of a surrogate pair.
void keepTail(QString& text, qsizetype limit) {
    if (text.size() <= limit) return;
    qsizetype cut = text.size() - limit;
    if (text[cut].isLowSurrogate()) ++cut;
    text.remove(0, cut);
}

// Appends what still fits of `piece` under `limit` characters, never half of a surrogate pair.
void appendCapped(QString& text, QStringView piece, qsizetype limit) {
    const qsizetype room = limit - text.size();
    if (room <= 0) return;
    if (piece.size() > room) {
        piece = piece.left(room);
        if (piece.back().isHighSurrogate()) piece.chop(1);
    }
    text += piece;
}

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
    // From here on, what an earlier run still reports is not this run's.
    const int run = ++setupRun_;
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
    // The child leads a process group of its own, so that quitting ends it with all it started,
    // and, like every child of the app, gets no descriptor but its standard streams.
    child->setChildProcessModifier([] {
        ::setpgid(0, 0);
        closeOnExecAboveStandardStreams();
    });
    output_ = Utf8Stream();
    QObject::connect(child, &QProcess::readyReadStandardOutput, this, &DesktopModel::readChildOutput);
    QObject::connect(child, &QProcess::finished, this,
                     [this, child, setup, run](int exitCode, QProcess::ExitStatus status) {
                         if (child != child_) return;
                         childFinished(status == QProcess::NormalExit ? exitCode : 128 + exitCode, setup, run);
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

void DesktopModel::endSetupChild() {
    if (!child_) return;
    QProcess* child = std::exchange(child_, nullptr);
    child->disconnect(this);
    output_ = Utf8Stream();
    const auto group = static_cast<pid_t>(child->processId());
    if (group > 0) {
        ::kill(-group, SIGTERM);
        ::kill(group, SIGTERM);  // in case it left its group
        const int grace = static_cast<int>(options_.timeouts.grace.count());
        if (!child->waitForFinished(grace)) ::kill(group, SIGKILL);
        ::kill(-group, SIGKILL);  // what it started and left behind
        child->waitForFinished(grace);
    }
    delete child;
}

void DesktopModel::childFinished(int exitCode, bool setup, int run) {
    // Every byte the child wrote is handled before its exit.
    readChildOutput();
    const QString rest = output_.finish();
    if (!rest.isEmpty()) receive(rest);
    flushLog();

    releaseChild();
    refreshThen([this, exitCode, setup, run] {
        if (run != setupRun_) return;  // another setup started meanwhile: this exit is not its
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

void DesktopModel::queueLog(const QString& text) {
    pendingLog_ += text;
    keepTail(pendingLog_, maximumLogLength);
    if (!logTimer_.isActive()) logTimer_.start(logInterval);
}

void DesktopModel::flushLog() {
    logTimer_.stop();
    if (pendingLog_.isEmpty()) return;
    QString log = log_ + std::exchange(pendingLog_, QString());
    keepTail(log, maximumLogLength);
    set(log_, log, &DesktopModel::logChanged);
}

void DesktopModel::appendToLog(const QString& text) {
    pendingLog_ += text;  // after the setup output that came first
    flushLog();
}

void DesktopModel::receive(const QString& text) {
    queueLog(text);
    const QStringView rest(text);
    for (qsizetype start = 0; start < rest.size();) {
        const qsizetype newline = rest.indexOf(u'\n', start);
        appendCapped(partialLine_, rest.mid(start, (newline < 0 ? rest.size() : newline) - start), maximumLineLength);
        if (newline < 0) break;
        handleLine(std::exchange(partialLine_, QString()));
        start = newline + 1;
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
