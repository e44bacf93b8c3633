// Installing the running bundle into the Applications folder of the home folder.

#include "desktop/model_harness.h"

#include <sys/stat.h>

namespace tessaron::desktop {
namespace {

using namespace testing;
namespace fs = std::filesystem;

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

    std::unique_ptr<DesktopModel> makeModel() {
        DesktopModelOptions options = quietOptions(home.path());
        options.bundle = bundle;
        options.openApplication = [this](const fs::path& path) {
            opened.push_back(path);
            return openFailure;
        };
        options.quit = [this] { ++quits; };
        return std::make_unique<DesktopModel>(ScriptedTessaron::program(), opener, options);
    }
    std::vector<std::string> applicationsFolder() const {
        std::vector<std::string> names;
        std::error_code error;
        for (fs::directory_iterator it(home.path() / "Applications", error), end; !error && it != end; ++it)
            names.push_back(it->path().filename().string());
        return names;
    }

    TempHome home;
    TempDir downloads;
    fs::path bundle = downloads.path() / "Tessaron.app";
    fs::path destination = home.path() / "Applications" / "Tessaron.app";
    RecordingOpener opener;
    std::vector<fs::path> opened;
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
    // A named pipe cannot be copied: the copy stops after the files before it.
    fs::create_directories(bundle / "Contents" / "Resources");
    tessaron::testing::writeFile(bundle / "Contents" / "Resources" / "a-first", "x");
    const fs::path pipe = bundle / "Contents" / "Resources" / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    auto model = makeModel();
    model->installToApplications();
    EXPECT_TRUE(model->movingApp());
    ASSERT_TRUE(waitUntil([&] { return !model->movingApp(); }));
    EXPECT_EQ(model->moveError().toStdString(),
              "\u201C" + pipe.string() + "\u201D is not a file, folder or link, so it cannot be copied. Drag "
              "Tessaron.app into Applications yourself, then open it from there.");
    EXPECT_EQ(applicationsFolder(), std::vector<std::string>{}) << "neither the bundle nor a partial copy";
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
}

}  // namespace
}  // namespace tessaron::desktop
