#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/ErrorRecord.h"

namespace platform {

namespace {

std::string baseName(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dirName(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void checkName(const std::string& path) {
    if (path.find('\0') != std::string::npos) raise(kBadFileName, "Bad file name or number");
}

void fsyncPath(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) raiseErrno(errno, path);
    if (::fsync(fd) != 0) {
        int err = errno;
        ::close(fd);
        raiseErrno(err, path);
    }
    ::close(fd);
}

// The path a symbolic link finally leads to (the path itself when it is none).
std::string resolveLinks(const std::string& path) {
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) raiseErrno(errno, p);
        if (!S_ISLNK(st.st_mode)) return p;
        std::string buf(static_cast<std::size_t>(PATH_MAX), '\0');
        ssize_t n = ::readlink(p.c_str(), buf.data(), buf.size());
        if (n < 0) raiseErrno(errno, p);
        buf.resize(static_cast<std::size_t>(n));
        p = (!buf.empty() && buf[0] == '/') ? buf : dirName(p) + "/" + buf;
    }
    raiseErrno(ELOOP, path);
}

}  // namespace

std::string PosixFileSystem::lookUp(const std::string& path) {
    checkName(path);
    if (path.empty()) return "";
    std::string name = baseName(path);
    if (name.empty() || name[0] == '.') return "";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == ELOOP) return "";
        raiseErrno(errno, path);
    }
    return S_ISREG(st.st_mode) ? name : "";
}

int64_t PosixFileSystem::length(const std::string& path) {
    checkName(path);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) raiseErrno(errno, path);
    if (!S_ISREG(st.st_mode)) raise(kFileNotFound, "File not found ('" + path + "')");
    return static_cast<int64_t>(st.st_size);
}

void PosixFileSystem::remove(const std::string& path) {
    checkName(path);
    if (::unlink(path.c_str()) != 0) raiseErrno(errno, path);
}

void PosixFileSystem::rename(const std::string& from, const std::string& to) {
    checkName(from);
    checkName(to);
    if (::rename(from.c_str(), to.c_str()) != 0) raiseErrno(errno, from);
}

void PosixFileSystem::flush(const std::string& path) {
    checkName(path);
    fsyncPath(path, O_RDONLY);
}

void PosixFileSystem::replace(const std::string& from, const std::string& target) {
    checkName(from);
    checkName(target);
    const std::string real = resolveLinks(target);
    struct stat st {};
    if (::stat(real.c_str(), &st) != 0) raiseErrno(errno, real);
    // A database nobody may write is not replaced, even by a user the
    // permission bits do not stop.
    if ((st.st_mode & 0222) == 0 || ::access(real.c_str(), W_OK) != 0) {
        raise(kPermissionDenied, "Permission denied: the database '" + target + "' is read-only");
    }
    int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) raiseErrno(errno, from);
    // Owner first: changing it may clear set-id bits that the mode then restores.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
        int err = errno;
        ::close(fd);
        raiseErrno(err, from);
    }
    if (::fchmod(fd, st.st_mode & 07777) != 0) {
        int err = errno;
        ::close(fd);
        raiseErrno(err, from);
    }
    ::close(fd);
    if (::rename(from.c_str(), real.c_str()) != 0) raiseErrno(errno, from);
    fsyncPath(dirName(real), O_RDONLY | O_DIRECTORY);
}

}  // namespace platform
