#pragma once
// Where the desktop application and the menu-bar companion send a link, a folder or the Terminal
// launcher: the system's default handler in the programs, a recorder in tests.
#include <QFileInfo>
#include <QUrl>

namespace tessaron::desktop {

class Opener {
public:
    virtual ~Opener() = default;
    // Hands the URL (a web page, or a file: URL of a folder or of a ".command" launcher) to the
    // default application. Whether an application took it is not reported to the user.
    virtual void open(const QUrl& url) = 0;
    // Shows the file or folder at the file: URL `item` selected in a file manager's window where
    // the desktop offers that; this default opens the folder that holds it.
    virtual void reveal(const QUrl& item) { open(QUrl::fromLocalFile(QFileInfo(item.toLocalFile()).absolutePath())); }
};

}  // namespace tessaron::desktop
