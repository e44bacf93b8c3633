#include "host/private_file.h"

#include "host/random_bytes.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tessaron::private_file {
namespace fs = std::filesystem;

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Flushes `fd` to the storage device. On the Mac fsync only hands the data to the
// drive, which may keep it in its cache past a power loss; F_FULLFSYNC asks the drive
// to write it out. A file system that cannot do that gets the plain fsync.
int flushToDevice(int fd) {
#ifdef F_FULLFSYNC
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
    return ::fsync(fd);
}

void syncDirectory(const fs::path& dir) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        flushToDevice(fd);
        ::close(fd);
    }
}

}  // namespace

std::string randomUUID() {
    unsigned char bytes[16];
    fillRandomBytes(bytes, sizeof bytes, "Could not make a random name");
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7],
                  bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

void createDirectories(const fs::path& dir) {
    if (dir.empty()) return;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return;
        throw PrivateFileError(Failure::directoryUnavailable,
                               "The folder " + dir.string() + " is not a folder.", ENOTDIR);
    }
    fs::path parent = dir.parent_path();
    if (!parent.empty() && parent != dir) createDirectories(parent);
    if (::mkdir(dir.c_str(), 0700) != 0) {
        int code = errno;
        // Created meanwhile by someone else: it keeps its mode, like any existing folder.
        if (code == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
        throw PrivateFileError(Failure::directoryUnavailable,
                               SystemError::fromErrno("Could not create the folder " + dir.string(), code).what(),
                               code);
    }
    // mkdir honours the umask; make sure a folder created here is exactly 0700.
    ::chmod(dir.c_str(), 0700);
}

void requirePrivateDirectory(const fs::path& dir, uid_t owner) {
    struct stat st {};
    const fs::path inspected = dir.empty() ? fs::path(".") : dir;
    if (::lstat(inspected.c_str(), &st) != 0) {
        int code = errno;
        throw PrivateFileError(Failure::directoryUnavailable,
                               SystemError::fromErrno("Could not inspect the folder " + inspected.string(), code).what(),
                               code);
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode) || st.st_uid != owner || (st.st_mode & 0077) != 0) {
        throw PrivateFileError(Failure::unsafeDirectory,
                               "The folder " + inspected.string() + " has unsafe ownership or permissions.");
    }
}

void write(const fs::path& target, std::string_view bytes, const WriteOptions& options) {
    const fs::path dir = target.parent_path();
    if (options.createParent) createDirectories(dir);
    if (options.requireDirectoryOwner) requirePrivateDirectory(dir, *options.requireDirectoryOwner);

    const fs::path temporary = dir / (options.temporaryPrefix + randomUUID());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        int code = errno;
        throw PrivateFileError(Failure::createFailed,
                               SystemError::fromErrno("Could not create " + temporary.string(), code).what(), code);
    }
    Descriptor descriptor(fd);
    bool renamed = false;
    struct Cleanup {
        const fs::path& path;
        bool& renamed;
        ~Cleanup() {
            if (!renamed) ::unlink(path.c_str());
        }
    } cleanup{temporary, renamed};

    // The umask cannot widen 0600, but make the mode exact in case it narrowed it.
    ::fchmod(fd, 0600);

    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int code = n < 0 ? errno : EIO;
            throw PrivateFileError(Failure::writeFailed,
                                   SystemError::fromErrno("Could not write " + target.string(), code).what(), code);
        }
        written += static_cast<std::size_t>(n);
    }
    if (flushToDevice(fd) != 0) {
        int code = errno;
        throw PrivateFileError(Failure::syncFailed,
                               SystemError::fromErrno("Could not flush " + target.string(), code).what(), code);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        int code = errno;
        throw PrivateFileError(Failure::renameFailed,
                               SystemError::fromErrno("Could not replace " + target.string(), code).what(), code);
    }
    renamed = true;
    syncDirectory(dir);
}

std::string read(const fs::path& path, const ReadOptions& options) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (options.followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        int code = errno;
        if (code == ENOENT) throw PrivateFileError(Failure::missing, "The file " + path.string() + " does not exist.", code);
        throw PrivateFileError(Failure::openFailed,
                               SystemError::fromErrno("Could not open " + path.string(), code).what(), code);
    }
    Descriptor descriptor(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw PrivateFileError(Failure::unsafeFile, "The path " + path.string() + " is not a regular file.");
    if (options.owner && (st.st_uid != *options.owner || (st.st_mode & 0077) != 0)) {
        throw PrivateFileError(Failure::unsafeFile,
                               "The file " + path.string() + " has unsafe ownership or permissions.");
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    if ((!options.allowEmpty && size == 0) || (options.maxBytes && size > *options.maxBytes)) {
        throw PrivateFileError(Failure::badSize, "The file " + path.string() + " has an invalid size.");
    }
    // Read one byte past the limit so that a file that grew after fstat is noticed.
    const std::size_t cap = options.maxBytes ? *options.maxBytes + 1 : SIZE_MAX;
    std::string data;
    std::vector<char> buffer(64 * 1024);
    while (data.size() < cap) {
        std::size_t want = std::min(buffer.size(), cap - data.size());
        ssize_t n = ::read(fd, buffer.data(), want);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) {
            int code = errno;
            throw PrivateFileError(Failure::readFailed,
                                   SystemError::fromErrno("Could not read " + path.string(), code).what(), code);
        }
        if (n == 0) break;
        data.append(buffer.data(), static_cast<std::size_t>(n));
    }
    if ((options.maxBytes && data.size() > *options.maxBytes) || (!options.allowEmpty && data.empty())) {
        throw PrivateFileError(Failure::badSize, "The file " + path.string() + " has an invalid size.");
    }
    return data;
}

namespace {

// The canonical form randomUUID() makes: 8-4-4-4-12 upper-case hexadecimal digits.
bool isRandomUUID(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

}  // namespace

std::size_t sweepTemporaryFiles(const fs::path& dir, std::string_view temporaryPrefix, std::chrono::seconds olderThan) {
    std::error_code error;
    fs::directory_iterator entries(dir, error);
    if (error) return 0;
    const auto now = std::chrono::system_clock::now();
    std::size_t removed = 0;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(temporaryPrefix) || !isRandomUUID(std::string_view(name).substr(temporaryPrefix.size())))
            continue;
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const auto changed = std::chrono::system_clock::time_point(std::chrono::seconds(st.st_mtim.tv_sec));
        if (now - changed < olderThan) continue;
        if (::unlink(entry.path().c_str()) == 0) ++removed;
    }
    return removed;
}

}  // namespace tessaron::private_file
