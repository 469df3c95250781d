#include "os/Lock.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// The byte-range lock another process holds on the open file (l_type is
// F_UNLCK when there is none).
struct flock lockOfOthers(Env& env, int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (env.getLock(fd, &fl) != 0) fl.l_type = F_UNLCK;
    return fl;
}

// A compaction's own byte-range lock: shared, over the whole file.
bool isCompactionLock(const struct flock& fl) {
    return fl.l_type == F_RDLCK && fl.l_start == 0 && fl.l_len == 0;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void checkLockFile(Env& env, int fd, const std::string& path, int folderFd) {
    std::string ldb = lockFilePath(path);
    std::string name = ldb;
    if (folderFd != AT_FDCWD) {
        const std::size_t slash = ldb.find_last_of('/');
        if (slash != std::string::npos) name = ldb.substr(slash + 1);
    }
    struct stat st {};
    if (env.fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // A name longer than the folder can hold names no lock file.
        if (errno == ENOENT || errno == ENAMETOOLONG) return;
        inUse(path, "its lock file '" + ldb + "' cannot be examined: " + std::strerror(errno));
    }
    // A database named like a lock file ("x.ldb") is not its own lock file.
    struct stat db {};
    if (env.fstat(fd, &db) == 0 && sameFile(st, db)) return;
    if (!S_ISREG(st.st_mode)) inUse(path, "its lock file '" + ldb + "' is not a regular file");
    // Without blocking, whatever was put there since.
    int lfd = env.openat(folderFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0);
    if (lfd < 0) {
        if (errno == ENOENT) return;
        if (errno == EACCES || errno == EPERM)
            inUse(path, "its lock file '" + ldb + "' cannot be opened by this user");
        inUse(path, "its lock file '" + ldb + "' cannot be opened: " + std::strerror(errno));
    }
    bool regular = env.fstat(lfd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && sameFile(st, db)) {  // put there since
        env.close(lfd);
        return;
    }
    bool held = regular && lockOfOthers(env, lfd).l_type != F_UNLCK;
    if (regular && !held) {
        if (env.flock(lfd, LOCK_EX | LOCK_NB) != 0) held = true;
    }
    env.close(lfd);
    if (!regular) inUse(path, "its lock file '" + ldb + "' is not a regular file");
    if (held) inUse(path, "its lock file '" + ldb + "' is held");
}

}  // namespace

std::string lockFilePath(const std::string& databasePath) {
    std::size_t slash = databasePath.find_last_of('/');
    std::size_t dot = databasePath.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1)) {
        return databasePath + ".ldb";
    }
    return databasePath.substr(0, dot) + ".ldb";
}

void lockForCompaction(Env& env, int fd, const std::string& path, int folderFd) {
    // The flock first: it admits one compaction at a time, so a byte-range
    // lock seen while it is held is another program's, and a compaction
    // that finds it taken tells by the byte-range lock the holder takes next
    // whether that is another compaction.
    if (env.flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            fail(ErrorCode::kIo, "Cannot lock '" + path + "': " + std::strerror(errno) + ".");
        if (isCompactionLock(lockOfOthers(env, fd))) compacting(path);
        inUse(path, "it holds the file locked");
    }
    if (lockOfOthers(env, fd).l_type != F_UNLCK) inUse(path, "it holds a lock on the file");
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    if (env.setLock(fd, &fl) != 0) {
        if (errno == EAGAIN || errno == EACCES) inUse(path, "it holds a lock on the file");
        fail(ErrorCode::kIo, "Cannot lock '" + path + "': " + std::strerror(errno) + ".");
    }
    checkLockFile(env, fd, path, folderFd);
}

}  // namespace jet
