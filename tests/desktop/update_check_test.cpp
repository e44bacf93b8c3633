// The update check against the loopback panel's release query.

#include "desktop/model_harness.h"

#include "host/agent_configuration.h"
#include "support/panel_process.h"

namespace tessaron::desktop {
namespace {

using namespace testing;
using json::Json;

TEST(UpdateCheck, OffersOnlyAWellFormedRelease) {
    application();
    TempHome home;
    tessaron::testing::PanelProcess panel;
    RecordingOpener opener;
    struct Case {
        const char* name;
        std::optional<Json> release;  // published with the admin call
        std::optional<Json> fault;    // the query's answer instead
        std::optional<std::string> version;
        std::optional<std::string> download;
    };
    const Case cases[] = {
        {"published", Json{{"version", "1.4.0"}, {"downloadURL", "https://downloads.test/Tessaron.dmg"}}, std::nullopt,
         "1.4.0", "https://downloads.test/Tessaron.dmg"},
        {"download over http", Json{{"version", "1.4.1"}, {"downloadURL", "http://downloads.test/T.dmg"}}, std::nullopt,
         "1.4.1", std::nullopt},
        {"download over http on loopback", Json{{"version", "1.4.2"}, {"downloadURL", "http://127.0.0.1:8080/T.dmg"}},
         std::nullopt, "1.4.2", "http://127.0.0.1:8080/T.dmg"},
        {"download with a user name", Json{{"version", "1.4.3"}, {"downloadURL", "https://downloads.test@evil.test/T.dmg"}},
         std::nullopt, "1.4.3", std::nullopt},
        {"download with a password", Json{{"version", "1.4.4"}, {"downloadURL", "https://u:p@downloads.test/T.dmg"}},
         std::nullopt, "1.4.4", std::nullopt},
        {"download without a host", Json{{"version", "1.4.5"}, {"downloadURL", "https:///T.dmg"}}, std::nullopt, "1.4.5",
         std::nullopt},
        {"download of a local file", Json{{"version", "1.5"}, {"downloadURL", "file:///etc/passwd"}}, std::nullopt,
         "1.5", std::nullopt},
        {"download that runs a script", Json{{"version", "1.6"}, {"downloadURL", "javascript:alert(1)"}}, std::nullopt,
         "1.6", std::nullopt},
        {"download that is not an address", Json{{"version", "1.7"}, {"downloadURL", "see the website"}}, std::nullopt,
         "1.7", std::nullopt},
        {"nothing published", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {"server error", std::nullopt, Json{{"status", 500}}, std::nullopt, std::nullopt},
        {"not modified", std::nullopt, Json{{"status", 304}}, std::nullopt, std::nullopt},
        {"no download address", std::nullopt, Json{{"status", 200}, {"body", Json{{"version", "9"}}}}, std::nullopt,
         std::nullopt},
        {"not JSON", std::nullopt, Json{{"malformed", true}}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        panel.admin("DELETE", "/_admin/release");
        if (c.release) {
            ASSERT_EQ(panel.admin("POST", "/_admin/release", *c.release).status, 200) << c.name;
        }
        if (c.fault) {
            Json fault = *c.fault;
            fault["path"] = "/api/tessaron/release";
            panel.injectFault(fault);
        }
        DesktopModel model(ScriptedTessaron::program(), opener, quietOptions(home.path()));
        model.setControl(QString::fromStdString(panel.base()));
        bool done = false;
        QObject::connect(&model, &DesktopModel::updateCheckCompleted, &model, [&] { done = true; });
        model.checkForNewerRelease();
        ASSERT_TRUE(waitUntil([&] { return done; })) << c.name;
        EXPECT_EQ(model.latestVersion() ? std::optional(model.latestVersion()->toStdString()) : std::nullopt, c.version)
            << c.name;
        EXPECT_EQ(model.latestDownloadURL() ? std::optional(model.latestDownloadURL()->toString().toStdString())
                                            : std::nullopt,
                  c.download)
            << c.name;
        panel.clearFaults();
    }

    // Addresses other than HTTPS (or plain HTTP on loopback) are never asked.
    panel.admin("DELETE", "/_admin/requests");
    const std::string port = std::to_string(panel.port());
    for (const std::string& control : {"ftp://127.0.0.1:" + port, "http://localhost.test:" + port, std::string("not a url")}) {
        DesktopModel model(ScriptedTessaron::program(), opener, quietOptions(home.path()));
        model.setControl(QString::fromStdString(control));
        bool done = false;
        QObject::connect(&model, &DesktopModel::updateCheckCompleted, &model, [&] { done = true; });
        model.checkForNewerRelease();
        ASSERT_TRUE(waitUntil([&] { return done; }));
        EXPECT_FALSE(model.latestVersion()) << control;
    }
    EXPECT_EQ(panel.requests().size(), 0u);

    // At start the release is asked of the form's first address, not of the saved pairing's panel,
    // which the first refresh puts in the form.
    AgentConfigurationStore::save({"mac-1", *Url::parse(panel.base()), {}, "127.0.0.1", "tessaron", "wireguard"});
    ScriptedTessaron tessaron;
    DesktopModelOptions options = quietOptions(home.path());
    options.startRefreshLoop = true;
    options.checkForUpdates = true;
    DesktopModel started(ScriptedTessaron::program(), opener, options);
    bool refreshed = false;
    QObject::connect(&started, &DesktopModel::refreshCompleted, &started, [&] { refreshed = true; });
    ASSERT_TRUE(waitUntil([&] { return refreshed; }));
    settle(0.5);
    EXPECT_EQ(started.control().toStdString(), panel.base());
    EXPECT_EQ(panel.requests().size(), 0u);
    started.shutdown();
}

}  // namespace
}  // namespace tessaron::desktop
