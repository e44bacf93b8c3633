#include "host/device_credential_store.h"

#include "host/agent_configuration.h"
#include "host/user.h"
#include "support/temp_dir.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tessaron;
namespace fs = std::filesystem;
namespace tt = tessaron::testing;
using Kind = DeviceCredentialError::Kind;

namespace {

std::optional<Kind> failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const DeviceCredentialError& error) {
        return error.kind();
    }
    return std::nullopt;
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::size_t entriesIn(const fs::path& dir) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++count;
    return count;
}

// A private folder with a credential path inside it.
struct Fixture {
    tt::TempHome home;
    fs::path dir = home.path() / "private";
    fs::path token = dir / "headless-token";
    Fixture() {
        fs::create_directory(dir);
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
    }
};

}  // namespace

TEST(DeviceCredentialError, TextsAreTheUserSentences) {
    EXPECT_STREQ(DeviceCredentialError(Kind::missing).what(),
                 "Your saved Tessaron connection is missing. Reconnect this Mac to your account; keep your existing "
                 "Linux server. No Keychain permission is needed.");
    EXPECT_STREQ(DeviceCredentialError(Kind::unavailable).what(),
                 "Tessaron could not read or save its private connection file. Your Linux server and files have not "
                 "been removed. No Keychain permission is needed.");
    EXPECT_STREQ(DeviceCredentialError(Kind::invalidFile).what(),
                 "The Tessaron headless credential file is empty or invalid.");
    EXPECT_STREQ(DeviceCredentialError(Kind::unsafeFile).what(),
                 "The saved Tessaron connection has unsafe file permissions or ownership. Contact support; your Linux "
                 "server and files have not been removed.");
}

TEST(DeviceCredentialStore, LocationFollowsTheOverrides) {
    tt::TempHome home;
    EXPECT_EQ(DeviceCredentialStore::headlessURL(), home.supportDir() / "headless-token");
    {
        tt::ScopedEnv config("TESSARON_CONFIG_PATH", "/x/agent.json");
        EXPECT_EQ(DeviceCredentialStore::headlessURL(), fs::path("/x/headless-token"));
        tt::ScopedEnv empty("TESSARON_CREDENTIAL_PATH", "");
        EXPECT_EQ(DeviceCredentialStore::headlessURL(), fs::path("/x/headless-token"));
        tt::ScopedEnv credential("TESSARON_CREDENTIAL_PATH", "/y/token");
        EXPECT_EQ(DeviceCredentialStore::headlessURL(), fs::path("/y/token"));
    }
}

TEST(DeviceCredentialStore, SaveLoadAndForgetAtTheDefaultPlace) {
    tt::TempHome home;
    EXPECT_EQ(failureOf([] { DeviceCredentialStore::load("m"); }), Kind::missing);
    DeviceCredentialStore::save("  abc\n", "mac-1");
    const fs::path file = home.supportDir() / "headless-token";
    EXPECT_EQ(tt::readFile(file), "abc");
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(home.supportDir()), 0700u);
    // The machine ID takes no part: one credential per configuration location.
    EXPECT_EQ(DeviceCredentialStore::load("another-machine"), "abc");
    DeviceCredentialStore::forget();
    EXPECT_FALSE(fs::exists(file));
    EXPECT_NO_THROW(DeviceCredentialStore::forget());
    EXPECT_EQ(failureOf([] { DeviceCredentialStore::load("m"); }), Kind::missing);
}

TEST(DeviceCredentialStore, ExportTrimsAndChecksTheTokenSize) {
    Fixture f;
    EXPECT_EQ(DeviceCredentialStore::exportForHeadlessService("\t\u00A0\u2028token\u3000\r\n", f.token), f.token);
    EXPECT_EQ(tt::readFile(f.token), "token");
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(f.token), "token");

    const std::string exact(DeviceCredentialStore::maximumBytes, 'a');
    DeviceCredentialStore::exportForHeadlessService(" " + exact + "\n", f.token);
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(f.token), exact);

    // Refused tokens leave the previous credential as it was and no stray file.
    // A token that could not be sent as a bearer token is refused too.
    for (const std::string& bad : {std::string(" \n\t "), std::string(), exact + "a", std::string("tok\xFF\xFE"),
                                   std::string("\xC0\xAF"), std::string("tok\r\nX-Injected: yes"), std::string("to k"),
                                   std::string("tok\u00e9")}) {
        EXPECT_EQ(failureOf([&] { DeviceCredentialStore::exportForHeadlessService(bad, f.token); }), Kind::invalidFile);
        EXPECT_EQ(tt::readFile(f.token), exact);
        EXPECT_EQ(entriesIn(f.dir), 1u);
    }
}

TEST(DeviceCredentialStore, ExportCreatesMissingFoldersPrivately) {
    tt::TempHome home;
    const fs::path target = home.path() / "a" / "b" / "token";
    DeviceCredentialStore::exportForHeadlessService("secret", target);
    EXPECT_EQ(modeOf(target.parent_path()), 0700u);
    EXPECT_EQ(modeOf(target.parent_path().parent_path()), 0700u);
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(target), "secret");
}

TEST(DeviceCredentialStore, ExportRefusesUnsafeFoldersBeforeLookingAtTheToken) {
    Fixture f;
    const fs::path open = f.home.path() / "open";
    fs::create_directory(open);
    fs::permissions(open, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec, fs::perm_options::replace);
    const fs::path link = f.home.path() / "link";
    fs::create_directory_symlink(f.dir, link);
    const fs::path foreign = f.home.path() / "foreign";
    fs::create_directory(foreign, f.dir);
    fs::permissions(foreign, fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_EQ(::chown(foreign.c_str(), ::geteuid() + 4242, ::getegid()), 0);

    for (const fs::path& dir : {open, link, foreign}) {
        // An empty token would be invalidFile; the folder is reported first.
        EXPECT_EQ(failureOf([&] { DeviceCredentialStore::exportForHeadlessService("", dir / "token"); }), Kind::unsafeFile)
            << dir;
        EXPECT_EQ(failureOf([&] { DeviceCredentialStore::exportForHeadlessService("tok", dir / "token"); }),
                  Kind::unsafeFile)
            << dir;
    }
    EXPECT_EQ(entriesIn(open), 0u);
    EXPECT_EQ(entriesIn(f.dir), 0u);
    EXPECT_EQ(entriesIn(foreign), 0u);

    // Seen by another (non-root) user, our own private folder is foreign too.
    user::ScopedUserIdOverride other(::geteuid() + 4242);
    EXPECT_EQ(failureOf([&] { DeviceCredentialStore::exportForHeadlessService("tok", f.token); }), Kind::unsafeFile);
    EXPECT_EQ(entriesIn(f.dir), 0u);
}

TEST(DeviceCredentialStore, AFailedRenameLeavesNoTemporaryFile) {
    Fixture f;
    fs::create_directories(f.token / "occupied");  // a non-empty folder cannot be replaced by rename
    EXPECT_EQ(failureOf([&] { DeviceCredentialStore::exportForHeadlessService("tok", f.token); }), Kind::unavailable);
    EXPECT_EQ(entriesIn(f.dir), 1u);
    EXPECT_TRUE(fs::is_directory(f.token));
}

TEST(DeviceCredentialStore, ReaderRefusesWhatItCannotTrust) {
    Fixture f;
    const fs::path target = f.dir / "target";
    tt::writeFile(target, "tok");
    ::chmod(target.c_str(), 0600);

    struct Case {
        const char* name;
        std::function<void(const fs::path&)> plant;
        Kind expected;
    };
    const std::vector<Case> cases = {
        {"group-readable", [](const fs::path& p) { tt::writeFile(p, "tok"); ::chmod(p.c_str(), 0640); }, Kind::unsafeFile},
        {"world-readable", [](const fs::path& p) { tt::writeFile(p, "tok"); ::chmod(p.c_str(), 0604); }, Kind::unsafeFile},
        {"foreign owner", [](const fs::path& p) { tt::writeFile(p, "tok"); ::chmod(p.c_str(), 0600);
                                                   ASSERT_EQ(::chown(p.c_str(), ::geteuid() + 4242, ::getegid()), 0); },
         Kind::unsafeFile},
        {"folder", [](const fs::path& p) { fs::create_directory(p); ::chmod(p.c_str(), 0700); }, Kind::unsafeFile},
        {"fifo", [](const fs::path& p) { ::mkfifo(p.c_str(), 0600); }, Kind::unsafeFile},
        {"symbolic link", [&](const fs::path& p) { fs::create_symlink(target, p); }, Kind::unavailable},
        {"dangling link", [&](const fs::path& p) { fs::create_symlink(f.dir / "nowhere", p); }, Kind::unavailable},
        {"empty", [](const fs::path& p) { tt::writeFile(p, ""); ::chmod(p.c_str(), 0600); }, Kind::invalidFile},
        {"white space only", [](const fs::path& p) { tt::writeFile(p, " \n\t\n"); ::chmod(p.c_str(), 0600); },
         Kind::invalidFile},
        {"invalid UTF-8", [](const fs::path& p) { tt::writeFile(p, "tok\xED\xA0\x80"); ::chmod(p.c_str(), 0600); },
         Kind::invalidFile},
        {"oversized", [](const fs::path& p) { tt::writeFile(p, std::string(65537, 'a')); ::chmod(p.c_str(), 0600); },
         Kind::invalidFile},
        // Saved by a version that did not check: never handed out to be sent in a header.
        {"line break inside", [](const fs::path& p) { tt::writeFile(p, "tok\r\nX-Injected: yes\n"); ::chmod(p.c_str(), 0600); },
         Kind::invalidFile},
        {"beyond ASCII", [](const fs::path& p) { tt::writeFile(p, "tok\u2028en"); ::chmod(p.c_str(), 0600); },
         Kind::invalidFile},
    };
    for (const auto& c : cases) {
        const fs::path path = f.dir / c.name;
        c.plant(path);
        EXPECT_EQ(failureOf([&] { DeviceCredentialStore::tokenFromFile(path); }), c.expected) << c.name;
    }
    EXPECT_EQ(failureOf([&] { DeviceCredentialStore::tokenFromFile(f.dir / "absent"); }), Kind::missing);

    // Our own good file, seen by another user, is foreign.
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(target), "tok");
    user::ScopedUserIdOverride other(::geteuid() + 4242);
    EXPECT_EQ(failureOf([&] { DeviceCredentialStore::tokenFromFile(target); }), Kind::unsafeFile);
}

TEST(DeviceCredentialStore, WithoutAHomeFolderTheConfigurationErrorPropagates) {
    tt::TempHome home;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::unsetenv("HOME");
        if (::setgid(54321) != 0 || ::setuid(54321) != 0) ::_exit(20);
        int failures = 0;
        for (auto action : {std::function<void()>([] { DeviceCredentialStore::headlessURL(); }),
                            std::function<void()>([] { DeviceCredentialStore::load("m"); }),
                            std::function<void()>([] { DeviceCredentialStore::save("tok", "m"); }),
                            std::function<void()>([] { DeviceCredentialStore::forget(); })}) {
            try {
                action();
            } catch (const AgentConfigurationError& error) {
                if (error.kind() == AgentConfigurationError::Kind::applicationSupportUnavailable) continue;
            } catch (...) {
            }
            ++failures;
        }
        ::_exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
