#include "panel/receipt_store.h"

#include "host/private_file.h"
#include "host/sha256.h"
#include "host/user.h"
#include "panel/control_panel_client.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaron {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;
using testing::TempHome;
using testing::readFile;
using testing::writeFile;

const std::string unsafeRead = "Could not safely read the restart receipt.";
const std::string unsafeFile = "The restart receipt has unsafe ownership, permissions or size.";
const std::string unsafeFolder = "The restart receipt folder has unsafe ownership or permissions.";
const std::string notSaved = "Could not save the restart receipt. The VM was not restarted.";

AgentConfiguration pairing(const std::string& url, const std::string& machineID) {
    return AgentConfiguration{machineID, *Url::parse(url), {}, "127.0.0.1", std::nullopt, std::nullopt};
}

void writePrivate(const fs::path& path, const std::string& bytes, mode_t mode = 0600) {
    writeFile(path, bytes);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Names of the entries in `dir`.
std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// What the call threw: the LifecycleFailure text, "decoding" for a json::DecodingError,
// "error: <text>" for another error, or "(nothing)".
std::string outcomeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const LifecycleFailure& failure) {
        return failure.what();
    } catch (const json::DecodingError&) {
        return "decoding";
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
    return "(nothing)";
}

const RestartReceipt prepared{"cmd-1", "11111111-2222-4333-8444-555555555555", "prepared", std::nullopt, std::nullopt};

TEST(ReceiptStore, SavesPrivatelyAndReadsBack) {
    TempDir dir;
    const fs::path folder = dir / "a" / "lifecycle";
    DiskOperationReceiptStore<RestartReceipt> store(folder / "key.json");
    EXPECT_EQ(store.load(), std::nullopt);

    store.save(prepared);
    EXPECT_EQ(store.load(), prepared);
    EXPECT_EQ(modeOf(folder), 0700);
    EXPECT_EQ(modeOf(dir / "a"), 0700);
    EXPECT_EQ(modeOf(store.url()), 0600);
    // Absent optional fields are left out of the file.
    EXPECT_EQ(json::parse(readFile(store.url())),
              (json::Json{{"commandID", "cmd-1"}, {"beforeBootID", prepared.beforeBootID}, {"phase", "prepared"}}));

    RestartReceipt finished = prepared;
    finished.phase = "finished";
    finished.outcome = "succeeded";
    finished.afterBootID = "99999999-2222-4333-8444-555555555555";
    store.save(finished);
    EXPECT_EQ(store.load(), finished);
    EXPECT_EQ(entries(folder), std::vector<std::string>{"key.json"});  // no temporary file left
}

TEST(ReceiptStore, DecodesMissingAndNullOptionalFields) {
    TempDir dir;
    DiskOperationReceiptStore<RestartReceipt> store(dir / "r.json");
    writePrivate(store.url(), R"({"commandID":"c","beforeBootID":"b","phase":"attempted","outcome":null})");
    EXPECT_EQ(store.load(), (RestartReceipt{"c", "b", "attempted", std::nullopt, std::nullopt}));
    writePrivate(store.url(), R"({"commandID":"c","phase":"attempted"})");
    EXPECT_EQ(outcomeOf([&] { store.load(); }), "decoding");
    writePrivate(store.url(), R"({"commandID":"c","beforeBootID":7,"phase":"attempted"})");
    EXPECT_EQ(outcomeOf([&] { store.load(); }), "decoding");
}

TEST(ReceiptStore, RefusesUnsafeFilesOnReading) {
    TempDir dir;
    const std::string valid = json::encode(prepared.toJson());
    std::string exactlyAtLimit = valid;
    exactlyAtLimit.insert(exactlyAtLimit.size() - 1, std::string(receipt_file::maxBytes - valid.size(), ' '));
    ASSERT_EQ(exactlyAtLimit.size(), receipt_file::maxBytes);

    struct Case {
        std::string name;
        std::function<void(const fs::path&)> make;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"mode 0644", [&](const fs::path& p) { writePrivate(p, valid, 0644); }, unsafeFile},
        {"mode 0640", [&](const fs::path& p) { writePrivate(p, valid, 0640); }, unsafeFile},
        {"4,097 bytes", [&](const fs::path& p) { writePrivate(p, exactlyAtLimit + " "); }, unsafeFile},
        {"4,096 bytes", [&](const fs::path& p) { writePrivate(p, exactlyAtLimit); }, "(nothing)"},
        {"a folder", [&](const fs::path& p) { fs::create_directory(p); }, unsafeFile},
        {"empty file", [&](const fs::path& p) { writePrivate(p, ""); }, "decoding"},
        {"damaged file", [&](const fs::path& p) { writePrivate(p, "{\"commandID\":"); }, "decoding"},
        {"a symbolic link",
         [&](const fs::path& p) {
             writePrivate(p.string() + ".target", valid);
             fs::create_symlink(p.string() + ".target", p);
         },
         unsafeRead},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / ("case" + std::to_string(index++) + ".json");
        c.make(file);
        DiskOperationReceiptStore<RestartReceipt> store(file);
        EXPECT_EQ(outcomeOf([&] { store.load(); }), c.expected);
    }
}

TEST(ReceiptStore, LeavesAnExistingFileAloneWhenItCannotBeReplacedSafely) {
    TempDir dir;
    const fs::path folder = dir / "lifecycle";
    private_file::createDirectories(folder);
    DiskOperationReceiptStore<RestartReceipt> store(folder / "r.json");

    writePrivate(store.url(), R"({"something":"else"})");
    EXPECT_EQ(outcomeOf([&] { store.save(prepared); }), "decoding");
    EXPECT_EQ(readFile(store.url()), R"({"something":"else"})");

    writePrivate(store.url(), json::encode(prepared.toJson()), 0644);
    RestartReceipt next = prepared;
    next.phase = "attempted";
    EXPECT_EQ(outcomeOf([&] { store.save(next); }), unsafeFile);
    EXPECT_EQ(readFile(store.url()), json::encode(prepared.toJson()));
    EXPECT_EQ(entries(folder), std::vector<std::string>{"r.json"});
}

TEST(ReceiptStore, RefusesARecordTooLargeToBeReadBack) {
    TempDir dir;
    DiskOperationReceiptStore<RestartReceipt> store(dir / "lifecycle" / "r.json");
    store.save(prepared);
    RestartReceipt huge = prepared;
    huge.commandID = std::string(receipt_file::maxBytes, 'x');
    EXPECT_EQ(outcomeOf([&] { store.save(huge); }), notSaved);
    EXPECT_EQ(store.load(), prepared);
    EXPECT_EQ(entries(dir / "lifecycle"), std::vector<std::string>{"r.json"});
}

TEST(ReceiptStore, RequiresAPrivateFolderOfTheUser) {
    TempDir dir;
    fs::create_directory(dir / "open");
    ::chmod((dir / "open").c_str(), 0755);
    EXPECT_EQ(outcomeOf([&] { DiskOperationReceiptStore<RestartReceipt>(dir / "open" / "r.json").save(prepared); }),
              unsafeFolder);
    EXPECT_FALSE(fs::exists(dir / "open" / "r.json"));

    private_file::createDirectories(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "link");
    EXPECT_EQ(outcomeOf([&] { DiskOperationReceiptStore<RestartReceipt>(dir / "link" / "r.json").save(prepared); }),
              unsafeFolder);
    EXPECT_TRUE(fs::is_empty(dir / "real"));

    // A file where the folder should be: the creation error itself, not a refusal.
    writeFile(dir / "plain", "x");
    auto outcome = outcomeOf([&] { DiskOperationReceiptStore<RestartReceipt>(dir / "plain" / "r.json").save(prepared); });
    EXPECT_EQ(outcome.rfind("error: ", 0), 0u) << outcome;
}

TEST(ReceiptStore, ChecksOwnershipAgainstTheRealUser) {
    // Everything here is owned by the test's user; pretending to be someone else must
    // make both the file and the folder foreign.
    TempDir dir;
    DiskOperationReceiptStore<RestartReceipt> store(dir / "lifecycle" / "r.json");
    store.save(prepared);
    {
        user::ScopedUserIdOverride other(::getuid() + 4242);
        EXPECT_EQ(outcomeOf([&] { store.load(); }), unsafeFile);
        EXPECT_EQ(outcomeOf([&] { store.save(prepared); }), unsafeFolder);
    }
    EXPECT_EQ(store.load(), prepared);
}

TEST(ReceiptStore, NamesReceiptFilesByPairing) {
    TempHome home;
    testing::ScopedEnv config("TESSARON_CONFIG_PATH", (home.path() / "elsewhere" / "agent.json").string());
    const auto a = pairing("https://panel.example", "mac-1");
    DiskOperationReceiptStore<RestartReceipt> restart(a, std::nullopt, false);
    DiskOperationReceiptStore<RestartReceipt> resource(a, std::nullopt, true);

    const std::string key = sha256Hex("https://panel.example\nmac-1");
    EXPECT_EQ(key, pairingKey(a));
    EXPECT_EQ(restart.url(), home.supportDir() / "lifecycle" / (key + ".json"));
    EXPECT_EQ(resource.url(), home.supportDir() / "resource-changes" / (key + ".json"));
    EXPECT_EQ(DiskOperationReceiptStore<RestartReceipt>(a, fs::path("/x/y"), true).url(), fs::path("/x/y") / (key + ".json"));

    const auto otherMachine = pairing("https://panel.example", "mac-2");
    const auto trailingSlash = pairing("https://panel.example/", "mac-1");
    EXPECT_NE(DiskOperationReceiptStore<RestartReceipt>(otherMachine, std::nullopt, false).url(), restart.url());
    EXPECT_NE(DiskOperationReceiptStore<RestartReceipt>(trailingSlash, std::nullopt, false).url(), restart.url());
    EXPECT_FALSE(fs::exists(home.supportDir()));  // nothing touched
}

TEST(ReceiptStore, PowerIntentAnswersStoppedOnlyForASavedStoppedWish) {
    TempHome home;
    auto store = DiskOperationReceiptStore<VMPowerIntent>::forThisMac();
    EXPECT_EQ(store.url(), home.supportDir() / "power-intent.json");
    EXPECT_FALSE(store.wantsStopped());

    store.want("stopped");
    EXPECT_TRUE(store.wantsStopped());
    auto saved = store.load();
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->desired, "stopped");
    EXPECT_GT(saved->setAt, 1.6e9);

    store.want("running");
    EXPECT_FALSE(store.wantsStopped());

    const std::vector<std::pair<std::string, mode_t>> unusable = {
        {R"({"desired":"stopped"})", 0600},              // no time
        {R"({"desired":"stopped","setAt":"now"})", 0600},
        {"stopped", 0600},
        {R"({"desired":"stopped","setAt":1})", 0644},  // readable by others
        {R"({"desired":"Stopped","setAt":1})", 0600},
    };
    for (const auto& [text, mode] : unusable) {
        SCOPED_TRACE(text);
        writePrivate(store.url(), text, mode);
        EXPECT_FALSE(store.wantsStopped());
    }
    writePrivate(store.url(), R"({"desired":"stopped","setAt":1.5})");
    EXPECT_TRUE(store.wantsStopped());
}

TEST(ReceiptStore, AWishThatCannotBeSavedLeavesNoTrace) {
    TempHome home;
    // "Library" is a file, so the folder cannot be created.
    writeFile(home.path() / "Library", "not a folder");
    auto store = DiskOperationReceiptStore<VMPowerIntent>::forThisMac();
    store.want("stopped");
    EXPECT_FALSE(store.wantsStopped());
    EXPECT_EQ(readFile(home.path() / "Library"), "not a folder");

    // A foreign folder: refused, nothing written.
    TempHome second;
    private_file::createDirectories(second.supportDir());
    {
        user::ScopedUserIdOverride other(::getuid() + 4242);
        DiskOperationReceiptStore<VMPowerIntent>::forThisMac().want("stopped");
    }
    EXPECT_TRUE(fs::is_empty(second.supportDir()));
}

// Any record with toJson/fromJson works, without a store interface of its own.
struct Note {
    std::string text;
    json::Json toJson() const { return json::Json{{"text", text}}; }
    static Note fromJson(const json::Json& object) { return Note{json::string(object, "text")}; }
};

TEST(ReceiptStore, StoresAnyRecordType) {
    TempDir dir;
    DiskOperationReceiptStore<Note> store(dir / "notes" / "n.json");
    store.save(Note{"hello"});
    auto loaded = store.load();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->text, "hello");
}

}  // namespace
}  // namespace tessaron
