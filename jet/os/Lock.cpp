#include "os/Lock.h"

#include <fcntl.h>
#include <sys/file.h>
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

// True when another process holds a byte-range lock on the open file.
bool lockedByOthers(int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
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

void lockForCompaction(int fd, const std::string& path) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) inUse(path, "another compaction is running on it");
        fail(ErrorCode::kIo, "Cannot lock '" + path + "': " + std::strerror(errno) + ".");
    }
    if (lockedByOthers(fd)) inUse(path, "it holds a lock on the file");
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        if (errno == EAGAIN || errno == EACCES) inUse(path, "it holds a lock on the file");
        fail(ErrorCode::kIo, "Cannot lock '" + path + "': " + std::strerror(errno) + ".");
    }
    const std::string ldb = lockFilePath(path);
    int lfd = ::open(ldb.c_str(), O_RDONLY | O_CLOEXEC);
    if (lfd >= 0) {
        bool held = lockedByOthers(lfd);
        ::close(lfd);
        if (held) inUse(path, "its lock file '" + ldb + "' is held");
    }
}

}  // namespace jet
