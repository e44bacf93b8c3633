#pragma once
// The programs' opener: the platform's default handler for web pages and folders; a ".command"
// launcher runs in a terminal emulator, as Terminal runs it on a Mac, and an application
// bundle (a folder named *.app) starts the program its Info.plist names. A file is shown
// selected by the desktop's file manager, as the Finder selects it.
#include "model/opener.h"

#include <functional>

class QDBusConnection;

namespace tessaron::desktop {

class SystemOpener final : public Opener {
public:
    void open(const QUrl& url) override;
    // Through the file manager on the session bus; the holding folder when none answers.
    void reveal(const QUrl& item) override;
};

// Asks the file manager on `bus` (the freedesktop FileManager1 interface) to show `item`
// selected in a window, and returns at once. `otherwise` runs instead: at once when the bus is
// not connected, later when no such file manager is there or it answers with an error or not
// within a few seconds.
void showItemInFileManager(const QDBusConnection& bus, const QUrl& item, std::function<void()> otherwise);

}  // namespace tessaron::desktop
