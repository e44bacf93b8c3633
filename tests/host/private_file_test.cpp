#include "host/private_file.h"

#include "support/temp_dir.h"

#include <chrono>
#include <csignal>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <set>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tessaron;
namespace pf = tessaron::private_file;
namespace fs = std::filesystem;
namespace tt = tessaron::testing;

// While `predictableRandom` is set, the kernel's random bytes are replaced by zeros, so
// that a test can know the temporary name in advance and plant something there.
static std::atomic<bool> predictableRandom{false};

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
    if (predictableRandom.load()) {
        std::memset(buffer, 0, length);
        return static_cast<ssize_t>(length);
    }
    return ::syscall(SYS_getrandom, buffer, length, flags);
}

namespace {

constexpr uid_t kOtherUid = 65534;  // "nobody"

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<pf::Failure> failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const pf::PrivateFileError& error) {
        return error.failure();
    }
    return std::nullopt;
}

void plant(const fs::path& path, const std::string& bytes, mode_t mode) {
    tt::writeFile(path, bytes);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

// Runs `body` in a forked child and returns its wait status; the child is killed if it
// has not finished within 30 seconds. The body reports through its exit status.
int inChild(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        ::_exit(code);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "child did not finish in time";
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

struct PrivateDir {
    tt::TempDir root;
    fs::path dir = root.path() / "private";
    PrivateDir() {
        fs::create_directory(dir);
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
    }
};

pf::ReadOptions readAs(uid_t owner, std::optional<std::size_t> maxBytes = std::nullopt, bool allowEmpty = true) {
    pf::ReadOptions options;
    options.owner = owner;
    options.maxBytes = maxBytes;
    options.allowEmpty = allowEmpty;
    return options;
}

}  // namespace

TEST(PrivateFile, WritesAtomicallyWithMode0600AndNewFoldersAt0700) {
    tt::TempDir root;
    const mode_t previousUmask = ::umask(0);  // the writer must not depend on a strict umask
    const fs::path target = root.path() / "a" / "b" / "secret";
    pf::write(target, "first");
    pf::write(target, "second");
    ::umask(previousUmask);
    EXPECT_EQ(tt::readFile(target), "second");
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_EQ(modeOf(target.parent_path()), 0700u);
    EXPECT_EQ(modeOf(target.parent_path().parent_path()), 0700u);
    EXPECT_EQ(namesIn(target.parent_path()), std::vector<std::string>{"secret"});
    EXPECT_EQ(pf::read(target, readAs(::geteuid())), "second");

    // An existing folder keeps its mode.
    fs::permissions(root.path() / "a", fs::perms::owner_all | fs::perms::group_exec, fs::perm_options::replace);
    pf::write(root.path() / "a" / "other", "x");
    EXPECT_EQ(modeOf(root.path() / "a"), 0710u);
}

TEST(PrivateFile, ALinkAtTheTargetIsReplacedNotFollowed) {
    PrivateDir p;
    const fs::path victim = p.root.path() / "victim";
    plant(victim, "victim bytes", 0644);
    const fs::path target = p.dir / "secret";
    fs::create_symlink(victim, target);
    pf::write(target, "secret bytes");
    EXPECT_EQ(tt::readFile(victim), "victim bytes");
    EXPECT_EQ(modeOf(victim), 0644u);
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_EQ(pf::read(target, readAs(::geteuid())), "secret bytes");

    // A dangling link must not make the writer create the file it points to.
    const fs::path elsewhere = p.root.path() / "created-through-link";
    fs::remove(target);
    fs::create_symlink(elsewhere, target);
    pf::write(target, "secret bytes");
    EXPECT_FALSE(fs::exists(elsewhere));
    EXPECT_EQ(modeOf(target), 0600u);
}

TEST(PrivateFile, TemporaryNamesCannotBeForeseen) {
    // Temporary names are fresh random UUIDs, so a link planted in advance cannot be hit.
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string uuid = pf::randomUUID();
        ASSERT_EQ(uuid.size(), 36u);
        EXPECT_EQ(uuid[14], '4');
        EXPECT_EQ(uuid.find_first_of("abcdef"), std::string::npos);
        EXPECT_TRUE(seen.insert(uuid).second);
    }
    // A forked child and its parent do not share a sequence of names.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pf::randomUUID();
    pid_t pid = ::fork();
    if (pid == 0) {
        std::string uuid = pf::randomUUID();
        ssize_t ignored = ::write(pipeFds[1], uuid.data(), uuid.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    const std::string mine = pf::randomUUID();
    char theirs[36] = {};
    ssize_t got = 0;
    while (got < 36) {
        ssize_t n = ::read(pipeFds[0], theirs + got, sizeof theirs - static_cast<std::size_t>(got));
        if (n <= 0) break;
        got += n;
    }
    ::close(pipeFds[0]);
    ::waitpid(pid, nullptr, 0);
    ASSERT_EQ(got, 36);
    EXPECT_NE(std::string(theirs, 36), mine);
}

TEST(PrivateFile, ALinkPlantedAtTheTemporaryNameIsNotFollowed) {
    PrivateDir p;
    const fs::path target = p.dir / "secret";
    pf::write(target, "old bytes");
    const fs::path victim = p.root.path() / "victim";
    plant(victim, "victim bytes", 0644);

    predictableRandom.store(true);
    const std::string name = ".tmp-" + pf::randomUUID();
    fs::create_symlink(victim, p.dir / name);
    const fs::path dangling = p.root.path() / "would-be-created";
    const auto first = failureOf([&] { pf::write(target, "new bytes"); });
    fs::remove(p.dir / name);
    fs::create_symlink(dangling, p.dir / name);
    const auto second = failureOf([&] { pf::write(target, "new bytes"); });
    predictableRandom.store(false);

    EXPECT_EQ(first, pf::Failure::createFailed);
    EXPECT_EQ(second, pf::Failure::createFailed);
    EXPECT_EQ(tt::readFile(victim), "victim bytes");
    EXPECT_EQ(modeOf(victim), 0644u);
    EXPECT_FALSE(fs::exists(dangling));
    EXPECT_EQ(tt::readFile(target), "old bytes");
    // What the writer did not create, it does not remove.
    EXPECT_TRUE(fs::is_symlink(p.dir / name));
}

TEST(PrivateFile, RefusesUnsafeFoldersWhenAnOwnerIsRequired) {
    PrivateDir p;
    const fs::path open = p.root.path() / "open";
    fs::create_directory(open);
    ::chmod(open.c_str(), 0705);
    const fs::path group = p.root.path() / "group";
    fs::create_directory(group);
    ::chmod(group.c_str(), 0770);
    const fs::path link = p.root.path() / "link";
    fs::create_directory_symlink(p.dir, link);
    const fs::path foreign = p.root.path() / "foreign";
    fs::create_directory(foreign);
    ::chmod(foreign.c_str(), 0700);
    ASSERT_EQ(::chown(foreign.c_str(), kOtherUid, kOtherUid), 0);
    const fs::path plainFile = p.root.path() / "file";
    plant(plainFile, "", 0600);

    pf::WriteOptions options;
    options.requireDirectoryOwner = ::geteuid();
    options.createParent = false;
    for (const fs::path& dir : {open, group, link, foreign, plainFile}) {
        EXPECT_EQ(failureOf([&] { pf::write(dir / "secret", "x", options); }), pf::Failure::unsafeDirectory) << dir;
    }
    EXPECT_TRUE(fs::is_empty(open));
    EXPECT_TRUE(fs::is_empty(group));
    EXPECT_TRUE(fs::is_empty(p.dir));
    EXPECT_TRUE(fs::is_empty(foreign));
    EXPECT_EQ(failureOf([&] { pf::requirePrivateDirectory(p.root.path() / "absent", ::geteuid()); }),
              pf::Failure::directoryUnavailable);
    pf::WriteOptions noParent;
    noParent.createParent = false;
    EXPECT_EQ(failureOf([&] { pf::write(p.root.path() / "absent" / "secret", "x", noParent); }),
              pf::Failure::createFailed);
    EXPECT_EQ(failureOf([&] { pf::write(plainFile / "secret", "x"); }), pf::Failure::directoryUnavailable);

    // The foreign folder belongs to its owner; our own private folder is foreign to them.
    EXPECT_NO_THROW(pf::requirePrivateDirectory(foreign, kOtherUid));
    EXPECT_EQ(failureOf([&] { pf::requirePrivateDirectory(p.dir, kOtherUid); }), pf::Failure::unsafeDirectory);
}

TEST(PrivateFile, ReaderRefusesWhatItCannotTrust) {
    PrivateDir p;
    const fs::path good = p.dir / "good";
    plant(good, "0123456789", 0600);
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
        pf::Failure expected;
    };
    const std::vector<Case> cases = {
        {"group-readable", [](const fs::path& f) { plant(f, "x", 0640); }, pf::Failure::unsafeFile},
        {"other-readable", [](const fs::path& f) { plant(f, "x", 0604); }, pf::Failure::unsafeFile},
        {"group-writable", [](const fs::path& f) { plant(f, "x", 0620); }, pf::Failure::unsafeFile},
        {"foreign", [](const fs::path& f) { plant(f, "x", 0600); ASSERT_EQ(::chown(f.c_str(), kOtherUid, kOtherUid), 0); },
         pf::Failure::unsafeFile},
        {"folder", [](const fs::path& f) { fs::create_directory(f); ::chmod(f.c_str(), 0700); }, pf::Failure::unsafeFile},
        {"fifo", [](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); }, pf::Failure::unsafeFile},
        {"link", [&](const fs::path& f) { fs::create_symlink(good, f); }, pf::Failure::openFailed},
    };
    for (const auto& c : cases) {
        const fs::path path = p.dir / c.name;
        c.make(path);
        EXPECT_EQ(failureOf([&] { pf::read(path, readAs(::geteuid())); }), c.expected) << c.name;
    }
    EXPECT_EQ(failureOf([&] { pf::read(p.dir / "absent", readAs(::geteuid())); }), pf::Failure::missing);
    // The owner is the one asked for, not whoever runs the test.
    EXPECT_EQ(failureOf([&] { pf::read(good, readAs(kOtherUid)); }), pf::Failure::unsafeFile);
    EXPECT_EQ(pf::read(p.dir / "foreign", readAs(kOtherUid)), "x");
}

TEST(PrivateFile, WithoutAnOwnerAnyFileWillDoButStillOnlyARegularOne) {
    PrivateDir p;
    const fs::path shared = p.dir / "shared";
    plant(shared, "x", 0644);
    ASSERT_EQ(::chown(shared.c_str(), kOtherUid, kOtherUid), 0);
    pf::ReadOptions anyone;
    EXPECT_EQ(pf::read(shared, anyone), "x");
    fs::create_symlink(shared, p.dir / "link");
    EXPECT_EQ(failureOf([&] { pf::read(p.dir / "link", anyone); }), pf::Failure::openFailed);
    anyone.followLinks = true;
    EXPECT_EQ(pf::read(p.dir / "link", anyone), "x");
    fs::create_directory(p.dir / "folder");
    fs::create_symlink(p.dir / "folder", p.dir / "folder-link");
    EXPECT_EQ(failureOf([&] { pf::read(p.dir / "folder-link", anyone); }), pf::Failure::unsafeFile);
}

TEST(PrivateFile, TheSweepRemovesOnlyStaleTemporariesOfTheGivenWriter) {
    PrivateDir p;
    const std::string uuid = pf::randomUUID();
    struct Case {
        std::string name;
        bool folder;
        int minutesOld;
        bool removed;
    };
    const std::vector<Case> cases = {
        {".restart-" + uuid, false, 5, true},
        {".restart-" + pf::randomUUID(), false, 0, false},  // a write in progress elsewhere
        {".restart-" + uuid + "x", false, 5, false},
        {".restart-" + std::string(36, 'A'), false, 5, false},
        {".restart-notes", false, 5, false},
        {".agent-" + uuid, false, 5, false},  // another writer's
        {"restart.json", false, 5, false},
        {".restart-" + pf::randomUUID(), true, 5, false},
    };
    for (const Case& c : cases) {
        const fs::path path = p.dir / c.name;
        if (c.folder) fs::create_directory(path);
        else plant(path, "half", 0600);
        const auto then = std::chrono::system_clock::now() - std::chrono::minutes(c.minutesOld);
        const timespec times[2] = {{std::chrono::system_clock::to_time_t(then), 0}, {std::chrono::system_clock::to_time_t(then), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }
    EXPECT_EQ(pf::sweepTemporaryFiles(p.dir, ".restart-", std::chrono::minutes(1)), 1u);
    for (const Case& c : cases) EXPECT_EQ(fs::exists(p.dir / c.name), !c.removed) << c.name;
    EXPECT_EQ(pf::sweepTemporaryFiles(p.dir / "absent", ".restart-", std::chrono::minutes(1)), 0u);
}

TEST(PrivateFile, ReaderEnforcesTheSizeLimit) {
    PrivateDir p;
    const fs::path file = p.dir / "file";
    plant(file, "0123456789", 0600);
    EXPECT_EQ(pf::read(file, readAs(::geteuid(), 10)), "0123456789");
    EXPECT_EQ(failureOf([&] { pf::read(file, readAs(::geteuid(), 9)); }), pf::Failure::badSize);
    const fs::path empty = p.dir / "empty";
    plant(empty, "", 0600);
    EXPECT_EQ(pf::read(empty, readAs(::geteuid(), 10, true)), "");
    EXPECT_EQ(failureOf([&] { pf::read(empty, readAs(::geteuid(), 10, false)); }), pf::Failure::badSize);
    const std::string big(3 * 1024 * 1024 + 17, 'z');
    plant(file, big, 0600);
    EXPECT_EQ(pf::read(file, readAs(::geteuid())), big);
}

TEST(PrivateFile, AFailedRenameRemovesTheTemporaryFile) {
    PrivateDir p;
    const fs::path target = p.dir / "secret";
    fs::create_directories(target / "occupied");
    EXPECT_EQ(failureOf([&] { pf::write(target, "x"); }), pf::Failure::renameFailed);
    EXPECT_EQ(namesIn(p.dir), std::vector<std::string>{"secret"});
}

TEST(PrivateFile, AWriteErrorKeepsTheOldFileAndRemovesTheTemporary) {
    PrivateDir p;
    const fs::path target = p.dir / "secret";
    pf::write(target, "old bytes");
    // A file-size limit makes write(2) fail part-way (EFBIG) when SIGXFSZ is ignored.
    int status = inChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        try {
            pf::write(target, std::string(1 << 20, 'n'));
        } catch (const pf::PrivateFileError& error) {
            return error.failure() == pf::Failure::writeFailed ? 0 : 11;
        }
        return 12;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(tt::readFile(target), "old bytes");
    EXPECT_EQ(namesIn(p.dir), std::vector<std::string>{"secret"});
}

TEST(PrivateFile, ACrashMidWriteLeavesTheOldFileAndAPrivateStray) {
    PrivateDir p;
    const fs::path target = p.dir / "secret";
    pf::write(target, "old bytes");
    // The child is killed by SIGXFSZ part-way through writing the temporary file:
    // nothing of the writer's clean-up runs, as in a crash or a power cut.
    int status = inChild([&] {
        ::signal(SIGXFSZ, SIG_DFL);
        ::umask(022);
        rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        pf::write(target, std::string(1 << 20, 'n'));
        return 12;
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    EXPECT_EQ(pf::read(target, readAs(::geteuid())), "old bytes");

    auto names = namesIn(p.dir);
    ASSERT_EQ(names.size(), 2u);
    const fs::path stray = p.dir / (names[0] == "secret" ? names[1] : names[0]);
    EXPECT_EQ(stray.filename().string().rfind(".tmp-", 0), 0u);
    // The half-written temporary was private from its first byte.
    EXPECT_EQ(modeOf(stray), 0600u);
    EXPECT_EQ(fs::file_size(stray), 4096u);

    // The stray does not get in the way of the next write.
    pf::write(target, "new bytes");
    EXPECT_EQ(pf::read(target, readAs(::geteuid())), "new bytes");
}

TEST(PrivateFile, AsAnUnprivilegedUser) {
    // Everything else runs as root; here a child really drops to another user.
    tt::TempDir root;
    ASSERT_EQ(::chmod(root.path().c_str(), 0711), 0);
    const fs::path dir = root.path() / "home";
    fs::create_directory(dir);
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    ASSERT_EQ(::chown(dir.c_str(), kOtherUid, kOtherUid), 0);
    const fs::path rootsFile = dir / "roots";
    plant(rootsFile, "root", 0600);
    const fs::path rootsOpenFile = dir / "roots-open";
    plant(rootsOpenFile, "root", 0644);
    const fs::path rootsDir = root.path() / "roots-dir";
    fs::create_directory(rootsDir);
    ASSERT_EQ(::chmod(rootsDir.c_str(), 0777), 0);

    int status = inChild([&]() -> int {
        if (::setgid(kOtherUid) != 0 || ::setuid(kOtherUid) != 0) return 20;
        const uid_t me = ::geteuid();
        pf::WriteOptions options;
        options.requireDirectoryOwner = me;
        pf::write(dir / "secret", "mine", options);
        if (pf::read(dir / "secret", readAs(me, 100)) != "mine") return 21;
        // A root-owned private file cannot even be opened; a readable one is refused.
        if (failureOf([&] { pf::read(rootsFile, readAs(me)); }) != pf::Failure::openFailed) return 22;
        if (failureOf([&] { pf::read(rootsOpenFile, readAs(me)); }) != pf::Failure::unsafeFile) return 23;
        // A world-writable folder of someone else's is refused before anything is created.
        if (failureOf([&] { pf::write(rootsDir / "secret", "x", options); }) != pf::Failure::unsafeDirectory) return 24;
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "secret").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOtherUid);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(fs::is_empty(rootsDir));
}
