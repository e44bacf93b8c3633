#include "platform/system_opener.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QXmlStreamReader>

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

// The program of an application bundle: Contents/MacOS/ and the Info.plist's
// CFBundleExecutable; empty when the bundle does not name one.
QString bundleProgram(const QString& bundle) {
    QFile plist(bundle + QStringLiteral("/Contents/Info.plist"));
    if (!plist.open(QIODevice::ReadOnly)) return {};
    QXmlStreamReader xml(&plist);
    bool named = false;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        if (xml.name() == QStringLiteral("key")) {
            named = xml.readElementText() == QStringLiteral("CFBundleExecutable");
        } else if (named && xml.name() == QStringLiteral("string")) {
            const QString name = xml.readElementText();
            if (name.isEmpty() || name.contains(QLatin1Char('/'))) return {};
            return bundle + QStringLiteral("/Contents/MacOS/") + name;
        } else if (xml.name() != QStringLiteral("dict")) {
            named = false;  // the value of another key
        }
    }
    return {};
}

}  // namespace

void SystemOpener::open(const QUrl& url) {
    // An application bundle opens as the application, as the Finder opens it.
    if (url.isLocalFile() && url.toLocalFile().endsWith(QStringLiteral(".app"))) {
        const QString program = bundleProgram(url.toLocalFile());
        if (!program.isEmpty() && QFileInfo(program).isExecutable() && QProcess::startDetached(program, {})) return;
    }
    if (url.isLocalFile() && url.toLocalFile().endsWith(QStringLiteral(".command"))) {
        const QFileInfo launcher(url.toLocalFile());
        if (launcher.isFile() && launcher.isExecutable() && runInTerminal(launcher.absoluteFilePath())) return;
    }
    QDesktopServices::openUrl(url);
}

void SystemOpener::reveal(const QUrl& item) {
    showItemInFileManager(QDBusConnection::sessionBus(), item, [this, item] { Opener::reveal(item); });
}

void showItemInFileManager(const QDBusConnection& bus, const QUrl& item, std::function<void()> otherwise) {
    if (!bus.isConnected()) return otherwise();
    const QString fileManager = QStringLiteral("org.freedesktop.FileManager1");
    QDBusMessage call = QDBusMessage::createMethodCall(fileManager, QStringLiteral("/org/freedesktop/FileManager1"),
                                                       fileManager, QStringLiteral("ShowItems"));
    call << QStringList{item.toString(QUrl::FullyEncoded)} << QString();  // no startup notification
    // Started on demand, a file manager may take a moment to answer.
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection(bus).asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [otherwise = std::move(otherwise)](QDBusPendingCallWatcher* finished) {
                         if (finished->isError()) otherwise();
                         finished->deleteLater();
                     });
}

}  // namespace tessaron::desktop
