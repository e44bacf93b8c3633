// Control-panel pages opened in the browser, and the Terminal launcher into the Linux server.

#include "model/desktop_model.h"

#include "host/agent_configuration.h"
#include "host/private_file.h"

#include <QProcess>

#include <sys/stat.h>

namespace tessaron::desktop {
namespace {

QUrl qUrl(const Url& url) { return QUrl(QString::fromStdString(url.absoluteString()), QUrl::StrictMode); }

// The path as one word of a POSIX shell: single quotes, with each quote written as '\''.
std::string shellQuoted(const std::string& path) {
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

}  // namespace

Url DesktopModel::consoleBase() const {
    try {
        return AgentConfigurationStore::load().controlURL;
    } catch (const std::exception&) {
    }
    if (auto typed = Url::parse(control_.toStdString())) return *typed;
    return TessaronEndpoints::defaultControl();
}

QUrl DesktopModel::consoleURL() const { return qUrl(consoleBase()); }

bool DesktopModel::isTranslocated() const {
    return bundle_.string().find("/AppTranslocation/") != std::string::npos;
}

void DesktopModel::open(const QUrl& url) { opener_.open(url); }

void DesktopModel::reveal(const QUrl& item) { opener_.reveal(item); }

void DesktopModel::openPath(const std::string& path) { opener_.open(QUrl::fromLocalFile(QString::fromStdString(path))); }

void DesktopModel::openConsolePage(const QString& path) {
    try {
        open(qUrl(consoleBase().appendingPathComponent(path.toStdString())));
    } catch (const std::exception& failure) {
        set(error_, QString::fromStdString(failure.what()), &DesktopModel::errorChanged);
    }
}

void DesktopModel::openConsole(bool billing) {
    if (!billing && settingUp_ && setupURL_) return open(*setupURL_);
    openConsolePage(billing ? "console/billing" : "console");
}

void DesktopModel::openConnectionDetails() {
    std::string path = "console/public-access";
    try {
        // The machine's page is one path segment below "console/machines/", whatever the saved
        // ID holds; an ID that a browser would read as "." or ".." names no page of its own.
        const std::string machineID = AgentConfigurationStore::load().machineID;
        if (!machineID.empty() && machineID != "." && machineID != "..")
            path = "console/machines/" + Url::percentEncoded(machineID);
    } catch (const std::exception&) {
    }
    openConsolePage(QString::fromStdString(path));
}

void DesktopModel::openTerminal() {
    try {
        const std::filesystem::path directory = AgentConfigurationStore::defaultURL().parent_path();
        private_file::createDirectories(directory);
        const std::filesystem::path launcher = directory / "Tessaron Terminal.command";
        const std::string content = "#!/bin/sh\n# Managed Tessaron terminal launcher.\nexec " +
                                    shellQuoted(program_.string()) + " ssh\n";
        private_file::WriteOptions options;
        options.createParent = false;
        private_file::write(launcher, content, options);
        if (::chmod(launcher.c_str(), 0700) != 0) throw SystemError::fromErrno("Could not make the Terminal launcher executable", errno);
        openPath(launcher.string());
    } catch (const std::exception& failure) {
        set(error_, QString::fromStdString(failure.what()), &DesktopModel::errorChanged);
    }
}

}  // namespace tessaron::desktop
