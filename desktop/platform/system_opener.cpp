#include "platform/system_opener.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace tessaron::desktop {

namespace {

// Debian's alternatives name the user's terminal emulator x-terminal-emulator; the others are
// common ones that take "-e program".
bool runInTerminal(const QString& launcher) {
    for (const char* name : {"x-terminal-emulator", "xterm", "gnome-terminal", "konsole"}) {
        const QString program = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!program.isEmpty() && QProcess::startDetached(program, {QStringLiteral("-e"), launcher})) return true;
    }
    return false;
}

}  // namespace

void SystemOpener::open(const QUrl& url) {
    if (url.isLocalFile() && url.toLocalFile().endsWith(QStringLiteral(".command"))) {
        const QFileInfo launcher(url.toLocalFile());
        if (launcher.isFile() && launcher.isExecutable() && runInTerminal(launcher.absoluteFilePath())) return;
    }
    QDesktopServices::openUrl(url);
}

}  // namespace tessaron::desktop
