#include "panel/setup_records.h"

#include "host/private_file.h"
#include "host/user.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaron {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;

const std::string setupID = "setup_" + std::string(36, 'a');

SetupTicket ticket() {
    return {setupID, "ABCDEF012345", std::string(40, 's'), 1765000000.5,
            *Url::parse("https://panel.example/console/connect?setup=" + setupID)};
}

PendingSetup pending(const std::string& control = "https://panel.example") {
    return PendingSetup(ticket(), *Url::parse(control), 4, 8);
}

std::string unsafeMessage(const fs::path& path) {
    try {
        SetupSessionStore::load(path);
    } catch (const SetupError& error) {
        return error.what();
    }
    return "(loaded)";
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST(PendingSetup, DeviceTokenIsFreshUrlSafeAndUnpadded) {
    PendingSetup first = pending();
    PendingSetup second = pending();
    EXPECT_NE(first.deviceToken(), second.deviceToken());
    for (const auto& token : {first.deviceToken(), second.deviceToken()}) {
        ASSERT_EQ(token.size(), 47u);
        EXPECT_EQ(token.substr(0, 4), "tst_");
        EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", 4),
                  std::string::npos);
    }
}

TEST(SetupProgress, AbsentFieldsStayAbsentBothWays) {
    SetupProgress onlyStage = SetupProgress::decode(R"({"stage":"linking","machineId":null})");
    EXPECT_EQ(onlyStage.stage, "linking");
    EXPECT_FALSE(onlyStage.id || onlyStage.code || onlyStage.expiresAt || onlyStage.machineId ||
                 onlyStage.accountEmail || onlyStage.profile || onlyStage.updatedAt);
    EXPECT_EQ(onlyStage.encode(), R"({"stage":"linking"})");

    SetupProgress full = SetupProgress::decode(
        R"({"id":"x","code":"C","expiresAt":1765000000,"stage":"complete","machineId":"m-1","accountEmail":"a@b.c",)"
        R"("profile":{"name":"Studio","chip":"M2","allocatedCpu":4,"allocatedMemoryGiB":8.5},"updatedAt":12.25,"extra":true})");
    SetupProgress again = SetupProgress::decode(full.encode());
    EXPECT_EQ(again.id, "x");
    EXPECT_EQ(again.expiresAt, 1765000000.0);
    EXPECT_EQ(again.machineId, "m-1");
    EXPECT_EQ(again.accountEmail, "a@b.c");
    ASSERT_TRUE(again.profile);
    EXPECT_EQ(again.profile->allocatedCpu, 4);
    EXPECT_EQ(again.profile->allocatedMemoryGiB, 8.5);
    EXPECT_EQ(again.updatedAt, 12.25);
    // Whole numbers keep their integer form on the way out.
    EXPECT_NE(full.encode().find(R"("expiresAt":1765000000,)"), std::string::npos);

    EXPECT_THROW(SetupProgress::decode(R"({"code":"C"})"), json::DecodingError);
    EXPECT_THROW(SetupProgress::decode(R"({"stage":3})"), json::DecodingError);
    EXPECT_THROW(SetupProgress::decode(R"({"stage":"x","profile":{"name":"n"}})"), json::DecodingError);
}

TEST(SetupSessionStore, SavesPrivatelyAndLoadsTheSameRecord) {
    TempDir dir;
    const fs::path file = dir / "new" / "folder" / "pending-setup.json";
    PendingSetup saved = pending();
    SetupSessionStore::save(saved, file);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    // Nothing but the record is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);

    auto loaded = SetupSessionStore::load(file);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->toJson(), saved.toJson());
    EXPECT_EQ(loaded->ticket.authorizeURL, saved.ticket.authorizeURL);
    EXPECT_EQ(loaded->deviceToken(), saved.deviceToken());
    EXPECT_EQ(loaded->requestedMemoryGiB(), 8);

    SetupSessionStore::finish(file);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(SetupSessionStore::load(file));
    EXPECT_NO_THROW(SetupSessionStore::finish(file));
}

TEST(SetupSessionStore, RefusesUnsafeFilesAndLeavesThemInPlace) {
    TempDir dir;
    const fs::path safe = dir / "safe.json";
    SetupSessionStore::save(pending(), safe);
    const std::string expected = SetupSessionStore::unsafeFileMessage;

    const fs::path link = dir / "link.json";
    fs::create_symlink(safe, link);
    EXPECT_EQ(unsafeMessage(link), expected);
    EXPECT_TRUE(fs::is_symlink(link));

    const fs::path dangling = dir / "dangling.json";
    fs::create_symlink(dir / "nowhere", dangling);
    EXPECT_FALSE(SetupSessionStore::load(dangling));

    const fs::path folder = dir / "folder.json";
    fs::create_directory(folder, dir.path());
    ::chmod(folder.c_str(), 0700);
    EXPECT_EQ(unsafeMessage(folder), expected);

    for (mode_t mode : {0640, 0604, 0660, 0644}) {
        const fs::path open = dir / ("open-" + std::to_string(mode) + ".json");
        fs::copy_file(safe, open);
        ::chmod(open.c_str(), mode);
        EXPECT_EQ(unsafeMessage(open), expected) << std::oct << mode;
        EXPECT_TRUE(fs::exists(open));
    }

    {
        user::ScopedUserIdOverride someoneElse(4242);
        EXPECT_EQ(unsafeMessage(safe), expected);
    }
    EXPECT_TRUE(SetupSessionStore::load(safe));
}

TEST(SetupSessionStore, BrokenOrIncompleteRecordsAreDecodingErrors) {
    TempDir dir;
    const fs::path file = dir / "pending-setup.json";
    json::Json record = pending().toJson();
    record.erase("deviceToken");
    for (const std::string& text : {std::string("{not json"), json::encode(record)}) {
        private_file::write(file, text);
        EXPECT_THROW(SetupSessionStore::load(file), json::DecodingError) << text;
        EXPECT_TRUE(fs::exists(file));
    }
    // A record is a few hundred bytes; a huge file is refused without being read whole.
    record = pending().toJson();
    record["padding"] = std::string(SetupSessionStore::maximumBytes, 'p');
    private_file::write(file, json::encode(record));
    try {
        SetupSessionStore::load(file);
        ADD_FAILURE() << "loaded";
    } catch (const private_file::PrivateFileError& error) {
        EXPECT_EQ(error.failure(), private_file::Failure::badSize);
    }
    EXPECT_TRUE(fs::exists(file));
}

TEST(SetupSessionStore, StaleTemporariesOfAKilledSaveAreSwept) {
    TempDir dir;
    const fs::path file = dir / "pending-setup.json";
    SetupSessionStore::save(pending(), file);
    const fs::path stale = dir / ".pending-setup.json.0F1E2D3C-4B5A-4968-8776-655443322110";
    const fs::path fresh = dir / ".pending-setup.json.0F1E2D3C-4B5A-4968-8776-655443322111";
    private_file::write(stale, "{\"ticket\":");
    private_file::write(fresh, "{\"ticket\":");
    fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(1));
    SetupSessionStore::sweepInterruptedWrites(file);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(fresh)) << "a save in progress elsewhere is left alone";
    EXPECT_TRUE(SetupSessionStore::load(file));
}

TEST(SetupSessionStore, RefusesARecordOfAnotherPanel) {
    TempDir dir;
    const fs::path file = dir / "pending-setup.json";
    EXPECT_FALSE(SetupSessionStore::loadFor(*Url::parse("https://panel.example"), file));
    SetupSessionStore::save(pending("https://panel.example"), file);
    EXPECT_TRUE(SetupSessionStore::loadFor(*Url::parse("https://panel.example"), file));
    try {
        SetupSessionStore::loadFor(*Url::parse("https://other.example"), file);
        FAIL() << "loaded a setup of another panel";
    } catch (const SetupError& error) {
        EXPECT_STREQ(error.what(),
                     "A setup for another panel is saved. Finish it before starting another setup; your VM was not "
                     "changed.");
    }
    EXPECT_TRUE(fs::exists(file));
}

TEST(SetupSessionStore, LivesBesideTheAgentConfiguration) {
    testing::TempHome home;
    EXPECT_EQ(SetupSessionStore::url(), home.supportDir() / "pending-setup.json");
    testing::ScopedEnv custom("TESSARON_CONFIG_PATH", "/x/y/custom.json");
    EXPECT_EQ(SetupSessionStore::url(), fs::path("/x/y/pending-setup.json"));

    testing::ScopedEnv inHome("TESSARON_CONFIG_PATH", (home.path() / "conf" / "agent.json").string());
    SetupSessionStore::save(pending());
    EXPECT_TRUE(fs::exists(home.path() / "conf" / "pending-setup.json"));
    EXPECT_TRUE(SetupSessionStore::load());
    SetupSessionStore::finish();
    EXPECT_FALSE(SetupSessionStore::load());
}

}  // namespace
}  // namespace tessaron
