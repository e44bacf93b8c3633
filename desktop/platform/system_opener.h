#pragma once
// The programs' opener: the platform's default handler for web pages and folders; a ".command"
// launcher runs in a terminal emulator, as Terminal runs it on a Mac, and an application
// bundle (a folder named *.app) starts the program its Info.plist names.
#include "model/opener.h"

namespace tessaron::desktop {

class SystemOpener final : public Opener {
public:
    void open(const QUrl& url) override;
};

}  // namespace tessaron::desktop
