// Once per start: ask the control panel which release is current, for the update banner.
// Best-effort: any failure leaves the two fields as they were and says nothing.

#include "model/desktop_model.h"

#include "model/panel_address.h"
#include "panel/http_client.h"

namespace tessaron::desktop {
namespace {

struct Release {
    std::string version;
    std::optional<QUrl> downloadURL;  // none unless an http or https address
};

std::optional<Release> fetchRelease(const std::string& address) {
    try {
        http::Request request;
        request.url = address;
        request.maxResponseBytes = 64 * 1024;
        const http::Response response = http::perform(request);
        if (response.status != 200) return std::nullopt;
        const json::Json body = json::parseObject(response.body);
        Release release{json::string(body, "version"), std::nullopt};
        const std::string download = json::string(body, "downloadURL");
        // Only a web address is offered as a download; anything else would be opened by whatever
        // application claims its scheme.
        const auto url = Url::parse(download);
        if (url && (url->scheme() == "https" || url->scheme() == "http") && !url->host().empty())
            release.downloadURL = QUrl(QString::fromStdString(download), QUrl::StrictMode);
        return release;
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
    const std::string address = Url::parse(control_.toStdString())->appendingPathComponent("api/tessaron/release").absoluteString();
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
