#pragma once
// Where the desktop application and the menu-bar companion send a link, a folder or the Terminal
// launcher: the system's default handler in the programs, a recorder in tests.
#include <QUrl>

namespace tessaron::desktop {

class Opener {
public:
    virtual ~Opener() = default;
    // Hands the URL (a web page, or a file: URL of a folder or of a ".command" launcher) to the
    // default application. Whether an application took it is not reported to the user.
    virtual void open(const QUrl& url) = 0;
};

}  // namespace tessaron::desktop
