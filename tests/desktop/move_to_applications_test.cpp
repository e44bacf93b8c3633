// Installing the running bundle into the first Applications folder that takes it: whole, only into
// folders that are where their paths say, and with this instance's endpoint given up before the
// copy starts.

#include "desktop/model_harness.h"

#include <sys/stat.h>

namespace tessaron::desktop {
namespace {

using namespace testing;
namespace fs = std::filesystem;

bool isBundleCopy(const fs::path& path) {
    return fs::is_directory(fs::symlink_status(path)) &&
           tessaron::testing::readFile(path / "Contents" / "Info.plist") == "<plist/>";
}

class MoveToApplicationsTest : public ::testing::Test {
protected:
    MoveToApplicationsTest() {
        application();
        const fs::path macos = bundle / "Contents" / "MacOS";
        fs::create_directories(macos);
        tessaron::testing::writeFile(macos / "TessaronDesktop", "#!/bin/sh\n");
        fs::permissions(macos / "TessaronDesktop", fs::perms::owner_all);
        tessaron::testing::writeFile(bundle / "Contents" / "Info.plist", "<plist/>");
        fs::create_symlink("MacOS/TessaronDesktop", bundle / "Contents" / "desktop");
    }

    std::unique_ptr<DesktopModel> makeModel(const fs::path& running = {}) {
        DesktopModelOptions options = quietOptions(home.path());
        options.bundle = running.empty() ? bundle : running;
        options.installCandidates = {destination, second};
        options.openApplication = [this](const fs::path& path) {
            opened.push_back(path);
            events.push_back("open");
            return openFailure;
        };
        options.quit = [this] {
            ++quits;
            events.push_back("quit");
        };
        options.releaseInstance = [this] { events.push_back("release"); };
        options.reclaimInstance = [this] { events.push_back("reclaim"); };
        return std::make_unique<DesktopModel>(ScriptedTessaron::program(), opener, options);
    }
    static std::vector<std::string> names(const fs::path& folder) {
        std::vector<std::string> found;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; ++it)
            found.push_back(it->path().filename().string());
        return found;
    }
    std::vector<std::string> applicationsFolder() const { return names(destination.parent_path()); }
    void makeBundle(const fs::path& path) const { fs::copy(bundle, path, fs::copy_options::recursive | fs::copy_options::copy_symlinks); }

    TempHome home;
    TempDir downloads;
    TempDir system;  // stands in for the system's Applications folder
    fs::path bundle = downloads.path() / "Tessaron.app";
    fs::path destination = system.path() / "Applications" / "Tessaron.app";
    fs::path second = home.path() / "Applications" / "Tessaron.app";
    RecordingOpener opener;
    std::vector<fs::path> opened;
    std::vector<std::string> events;
    std::optional<std::string> openFailure;
    int quits = 0;
};

TEST_F(MoveToApplicationsTest, CopiesWholeOpensTheCopyAndQuits) {
    auto model = makeModel();
    EXPECT_FALSE(model->durablyInstalled());
    EXPECT_FALSE(model->installedCopy());
    model->installToApplications();
    model->installToApplications();  // a second press while moving does nothing
    ASSERT_TRUE(waitUntil([&] { return quits > 0; }));
    settle(0.1);
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(opened, std::vector<fs::path>{destination});
    EXPECT_EQ(events, (std::vector<std::string>{"release", "open", "quit"})) << "the endpoint is given up first";
    EXPECT_FALSE(fs::exists(second)) << "the first candidate took it";
    EXPECT_TRUE(makeModel(destination)->durablyInstalled());
    EXPECT_EQ(applicationsFolder(), std::vector<std::string>{"Tessaron.app"});
    EXPECT_EQ(tessaron::testing::readFile(destination / "Contents" / "Info.plist"), "<plist/>");
    EXPECT_EQ(fs::status(destination / "Contents" / "MacOS" / "TessaronDesktop").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::read_symlink(destination / "Contents" / "desktop"), "MacOS/TessaronDesktop");
    EXPECT_EQ(model->installedCopy(), destination);

    // With a copy in place, that copy is opened and nothing is copied over it.
    tessaron::testing::writeFile(destination / "Contents" / "Info.plist", "installed");
    auto again = makeModel();
    again->installToApplications();
    ASSERT_TRUE(waitUntil([&] { return quits == 2; }));
    EXPECT_EQ(opened.size(), 2u);
    EXPECT_EQ(tessaron::testing::readFile(destination / "Contents" / "Info.plist"), "installed");
}

TEST_F(MoveToApplicationsTest, AFailedCopyLeavesNoBundleBehind) {
    // A named pipe cannot be copied: the copy stops after the files before it. Its long path is
    // cut in the message; the advice after it stays whole.
    const fs::path deep = bundle / "Contents" / "Resources" / std::string(150, 'd') / std::string(150, 'd');
    fs::create_directories(deep);
    tessaron::testing::writeFile(bundle / "Contents" / "Resources" / "a-first", "x");
    const fs::path pipe = deep / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    auto model = makeModel();
    model->installToApplications();
    EXPECT_TRUE(model->movingApp());
    ASSERT_TRUE(waitUntil([&] { return !model->movingApp(); }));
    EXPECT_EQ(model->moveError().toStdString(),
              "\u201C" + pipe.string().substr(0, 299) + "\u2026 Drag Tessaron.app into Applications yourself, then "
              "open it from there.");
    EXPECT_EQ(applicationsFolder(), std::vector<std::string>{}) << "neither the bundle nor a partial copy";
    EXPECT_EQ(names(second.parent_path()), std::vector<std::string>{});
    EXPECT_FALSE(model->installedCopy());
    EXPECT_TRUE(opened.empty());

    // The copy works, but the copy cannot be opened: the running app stays.
    fs::remove(pipe);
    openFailure = "The file is damaged.";
    model->installToApplications();
    ASSERT_TRUE(waitUntil([&] { return !model->movingApp(); }));
    EXPECT_EQ(model->moveError().toStdString(),
              "Moved to " + destination.string() + ", but it could not be opened: The file is damaged.");
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(events, (std::vector<std::string>{"release", "open", "reclaim"})) << "the endpoint is taken back";
}

// What already sits at a candidate: only a real bundle in a folder that is where its path says is
// an installed copy; anything else is left alone and the next candidate takes the copy.
TEST_F(MoveToApplicationsTest, OnlyARealBundleInPlaceIsAnInstalledCopy) {
    TempDir elsewhere;
    struct Row {
        const char* name;
        std::function<void()> prepare;
        bool installed;  // the second candidate holds an installed copy to open
    };
    const Row rows[] = {
        {"the first folder is a link leading elsewhere",
         [&] {
             fs::create_directories(elsewhere.path() / "apps");
             makeBundle(elsewhere.path() / "apps" / "Tessaron.app");
             fs::create_symlink(elsewhere.path() / "apps", destination.parent_path());
         },
         false},
        {"the first folder is an empty link leading elsewhere",
         [&] {
             fs::create_directories(elsewhere.path() / "apps");
             fs::create_symlink(elsewhere.path() / "apps", destination.parent_path());
         },
         false},
        {"the first Tessaron.app is a link to a bundle",
         [&] {
             makeBundle(elsewhere.path() / "Tessaron.app");
             fs::create_directories(destination.parent_path());
             fs::create_symlink(elsewhere.path() / "Tessaron.app", destination);
         },
         false},
        {"the first Tessaron.app is not a bundle", [&] { fs::create_directories(destination / "Contents"); }, false},
        {"the second holds a bundle",
         [&] {
             fs::create_directories(second.parent_path());
             makeBundle(second);
         },
         true},
    };
    for (const Row& row : rows) {
        std::error_code ignored;
        fs::remove_all(destination.parent_path(), ignored);
        fs::remove_all(second.parent_path(), ignored);
        fs::remove_all(elsewhere.path(), ignored);
        fs::create_directories(elsewhere.path());
        opened.clear();
        row.prepare();
        const auto entries = [&] {
            return std::distance(fs::recursive_directory_iterator(elsewhere.path()), fs::recursive_directory_iterator());
        };
        const auto before = entries();
        auto model = makeModel();
        EXPECT_EQ(model->installedCopy(), row.installed ? std::optional<fs::path>(second) : std::nullopt) << row.name;
        model->installToApplications();
        ASSERT_TRUE(waitUntil([&] { return !model->movingApp() || !opened.empty(); })) << row.name;
        EXPECT_EQ(opened, std::vector<fs::path>{second}) << row.name << ": " << model->moveError().toStdString();
        EXPECT_TRUE(isBundleCopy(second)) << row.name;
        EXPECT_EQ(entries(), before) << row.name << ": nothing copied through a link";
    }
}

}  // namespace
}  // namespace tessaron::desktop
