// Once per start: ask the control panel which release is current, for the update banner.
// Best-effort: any failure leaves the two fields as they were and says nothing.

#include "model/desktop_model.h"

#include "model/panel_address.h"
#include "panel/http_client.h"

namespace tessaron::desktop {
namespace {

struct Release {
    std::string version;
    std::optional<QUrl> downloadURL;  // none unless a web address fit to offer
};

// Only a web address is offered as a download: anything else would be opened by whatever
// application claims its scheme. It must be HTTPS (plain HTTP only on this machine's loopback
// address, as for the panel itself) and carry no user name or password, which a link could use
// to pass for another site ("https://downloads.tessaron.test@elsewhere.test/").
std::optional<QUrl> downloadLink(const std::string& text) {
    const auto url = Url::parse(text);
    if (!url || url->host().empty() || url->userInfo() || !isSecurePanelAddress(QString::fromStdString(text)))
        return std::nullopt;
    QUrl link(QString::fromStdString(text), QUrl::StrictMode);
    if (!link.isValid()) return std::nullopt;
    return link;
}

std::optional<Release> fetchRelease(const std::string& address) {
    try {
        http::Request request;
        request.url = address;
        request.maxResponseBytes = 64 * 1024;
        const http::Response response = http::perform(request);
        if (response.status != 200) return std::nullopt;
        const json::Json body = json::parseObject(response.body);
        const std::string version = json::string(body, "version");
        return Release{version, downloadLink(json::string(body, "downloadURL"))};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

void DesktopModel::checkForNewerRelease() {
    if (!isSecurePanelAddress(control_)) {
        emit updateCheckCompleted();
        return;
    }
    const std::string address =
        Url::parse(control_.toStdString())->appendingPathComponent("api/tessaron/release").absoluteString();
    runInBackground<std::optional<Release>>(
        this, [address] { return fetchRelease(address); },
        [this](std::optional<Release> release) {
            if (release) {
                set(latestVersion_, std::optional<QString>(QString::fromStdString(release->version)),
                    &DesktopModel::latestVersionChanged);
                set(latestDownloadURL_, release->downloadURL, &DesktopModel::latestDownloadURLChanged);
            }
            emit updateCheckCompleted();
        });
}

}  // namespace tessaron::desktop
