#include "model/panel_address.h"

#include "host/url.h"

namespace tessaron::desktop {

bool isSecurePanelAddress(const QString& text) {
    const auto url = Url::parse(text.toStdString());
    if (!url) return false;
    if (text.startsWith("https:")) return true;
    const std::string& host = url->host();
    return text.startsWith("http:") && (host == "localhost" || host == "127.0.0.1" || host == "[::1]");
}

bool isPanelOrigin(const QString& text) {
    const auto url = Url::parse(text.toStdString());
    if (!url || !isSecurePanelAddress(text)) return false;
    if (url->host().empty() || url->userInfo() || url->query() || url->fragment()) return false;
    return url->path().empty() || url->path() == "/";
}

}  // namespace tessaron::desktop
