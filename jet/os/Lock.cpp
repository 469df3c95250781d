#include "os/Lock.h"

#include "jet/Path.h"
#include "util/Failure.h"

namespace jet {

namespace {

[[noreturn]] void inUse(const std::string& path, const std::string& how) {
    fail(ErrorCode::kInUse, "The database '" + path + "' is in use by another program (" + how +
                                "); close it and try again.");
}

[[noreturn]] void compacting(const std::string& path) {
    fail(ErrorCode::kInUse, "The database '" + path +
                                "' is in use by another compaction; wait for it to end and try "
                                "again.");
}

constexpr LockRange kWholeFile{0, 0, false};

// The byte-range lock another process holds anywhere on the open file.
LockHolder lockOfOthers(Env& env, FileHandle fd) {
    auto holder = env.lockOfOthers(fd, LockRange{0, 0, true});
    return holder.ok() ? holder.value : LockHolder{};
}

// A compaction's own byte-range lock: shared, over the whole file.
bool isCompactionLock(const LockHolder& h) {
    return h.held && !h.range.exclusive && h.range.start == 0 && h.range.length == 0;
}

// The name the lock file has in the folder held open (the path's last name),
// or the path itself relative to the working folder.
std::string nameIn(FileHandle folderFd, const std::string& path) {
    return folderFd == kWorkingFolder ? path : lastName(path);
}

void checkLockFile(Env& env, FileHandle fd, const std::string& path, FileHandle folderFd) {
    const std::string ldb = lockFilePath(path);
    const std::string name = nameIn(folderFd, ldb);
    auto st = env.infoIn(folderFd, name, false);
    if (!st.ok()) {
        // A name longer than the folder can hold names no lock file.
        if (st.error.code == OsErrc::kNotFound || st.error.code == OsErrc::kNameTooLong) return;
        inUse(path, "its lock file '" + ldb + "' cannot be examined: " + describe(st.error));
    }
    // A database named like a lock file ("x.ldb") is not its own lock file.
    auto db = env.infoOfFile(fd);
    if (db.ok() && st.value.id == db.value.id) return;
    if (st.value.type != FileType::kRegular)
        inUse(path, "its lock file '" + ldb + "' is not a regular file");
    // Without blocking, whatever was put there since.
    auto lfd = env.openIn(folderFd, name, OpenMode::kProbe);
    if (!lfd.ok()) {
        if (lfd.error.code == OsErrc::kNotFound) return;
        if (lfd.error.code == OsErrc::kHeld) inUse(path, "its lock file '" + ldb + "' is held");
        if (lfd.error.code == OsErrc::kAccess)
            inUse(path, "its lock file '" + ldb + "' cannot be opened by this user");
        inUse(path, "its lock file '" + ldb + "' cannot be opened: " + describe(lfd.error));
    }
    const OwnedFile lockFile(env, lfd.value);
    auto opened = env.infoOfFile(lockFile.get());
    const bool regular = opened.ok() && opened.value.type == FileType::kRegular;
    if (regular && db.ok() && opened.value.id == db.value.id) return;  // put there since
    bool held = regular && lockOfOthers(env, lockFile.get()).held;
    if (regular && !held) {
        if (env.lockAlone(lockFile.get())) held = true;
    }
    if (!regular) inUse(path, "its lock file '" + ldb + "' is not a regular file");
    if (held) inUse(path, "its lock file '" + ldb + "' is held");
}

}  // namespace

std::string lockFilePath(const std::string& databasePath) {
    std::size_t slash = databasePath.find_last_of(kPathSeparators);
    std::size_t dot = databasePath.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1)) {
        return databasePath + ".ldb";
    }
    return databasePath.substr(0, dot) + ".ldb";
}

void lockForCompaction(Env& env, FileHandle fd, const std::string& path, FileHandle folderFd) {
    // The lock for one alone first: it admits one compaction at a time, so a
    // byte-range lock seen while it is held is another program's, and a
    // compaction that finds it taken tells by the byte-range lock the holder
    // takes next whether that is another compaction.
    if (OsError e = env.lockAlone(fd)) {
        if (e.code != OsErrc::kHeld)
            fail(ErrorCode::kIo, "Cannot lock '" + path + "': " + describe(e) + ".");
        if (isCompactionLock(lockOfOthers(env, fd))) compacting(path);
        inUse(path, "it holds the file locked");
    }
    if (lockOfOthers(env, fd).held) inUse(path, "it holds a lock on the file");
    if (OsError e = env.lockRange(fd, kWholeFile)) {
        if (e.code == OsErrc::kHeld) inUse(path, "it holds a lock on the file");
        fail(ErrorCode::kIo, "Cannot lock '" + path + "': " + describe(e) + ".");
    }
    checkLockFile(env, fd, path, folderFd);
}

}  // namespace jet
