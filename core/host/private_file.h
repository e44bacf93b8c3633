#pragma once
// Private files: the one writer and the one reader for every file that holds a secret
// or a crash-safety record (credential, receipts, pending setup, agent.json).
//
// Writing: a temporary sibling is created exclusively, without following links, with
// mode 0600 from the first byte; the bytes are written and flushed to the storage
// device (past the drive's cache where the platform can ask for that); the
// temporary file is renamed over the target and the folder is flushed. On any failure
// the temporary file is removed and the previous target is left untouched.
//
// Reading: the file is opened without following links (unless asked) and refused unless
// it is a regular file within the size limit and, when an owner is given, owned by that
// user with no group or other permission bits.
//
// Failures carry a Failure kind so that each store can report them in its own words.

#include "host/error.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace tessaron::private_file {

enum class Failure {
    directoryUnavailable,  // the folder could not be created or inspected
    unsafeDirectory,       // folder is a link, not a folder, foreign-owned or open to others
    createFailed,          // the temporary file could not be created
    writeFailed,           // a write returned an error or wrote nothing
    syncFailed,            // flushing to the storage device failed
    renameFailed,          // rename over the target failed
    missing,               // reading: no file (ENOENT)
    openFailed,            // reading: any other open failure, a symbolic link included
    unsafeFile,            // reading: not regular, foreign-owned, or open to group/other
    badSize,               // reading: empty where not allowed, or over the limit
    readFailed,            // reading: read(2) failed
};

class PrivateFileError : public Error {
public:
    PrivateFileError(Failure failure, const std::string& sentence, int code = 0)
        : Error(sentence), failure_(failure), code_(code) {}
    Failure failure() const noexcept { return failure_; }
    int code() const noexcept { return code_; }

private:
    Failure failure_;
    int code_;
};

// Creates `dir` and missing parents; folders created here get mode 0700, existing
// folders keep theirs.
void createDirectories(const std::filesystem::path& dir);

// Requires `dir` to be a real folder (not a link), owned by `owner`, with no group or
// other bits. Throws PrivateFileError(unsafeDirectory) otherwise, or
// (directoryUnavailable) when it cannot be inspected.
void requirePrivateDirectory(const std::filesystem::path& dir, uid_t owner);

struct WriteOptions {
    // Name prefix of the temporary sibling; a random upper-case UUID follows it.
    std::string temporaryPrefix = ".tmp-";
    // Create missing parent folders (mode 0700) first.
    bool createParent = true;
    // When set, the parent folder must pass requirePrivateDirectory for this owner.
    std::optional<uid_t> requireDirectoryOwner;
};

// Writes `bytes` to `target` atomically with mode 0600.
void write(const std::filesystem::path& target, std::string_view bytes, const WriteOptions& options = {});

struct ReadOptions {
    // The user the file must belong to, with no group or other bits; when absent any
    // owner and mode will do (a file that holds no secret).
    std::optional<uid_t> owner;
    std::optional<std::size_t> maxBytes; // no limit when absent
    bool allowEmpty = true;              // an empty file is badSize when false
    bool followLinks = false;            // a symbolic link is openFailed (ELOOP) when false
};

// Reads a private file. Throws PrivateFileError on every refusal.
std::string read(const std::filesystem::path& path, const ReadOptions& options);

// Removes the temporary files that write() leaves when its process is killed between
// creating and renaming one: regular files in `dir` named `temporaryPrefix` followed by
// a UUID, last changed at least `olderThan` ago (so a write in progress in another
// process is left alone). A missing folder or a file that cannot be removed is skipped.
// Returns how many were removed.
std::size_t sweepTemporaryFiles(const std::filesystem::path& dir, std::string_view temporaryPrefix,
                                std::chrono::seconds olderThan);

// A fresh random UUID in canonical upper-case form (36 characters).
std::string randomUUID();

}  // namespace tessaron::private_file
