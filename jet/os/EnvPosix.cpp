// The standard Env on POSIX systems (Linux): each method is the system call
// of the same purpose, its errno turned into the engine's code.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "jet/Env.h"

namespace jet {

namespace {

static_assert(kWorkingFolder == AT_FDCWD);

OsErrc codeOf(int err) {
    switch (err) {
        case 0:
            return OsErrc::kNone;
        case ENOENT:
        case ENOTDIR:
            return OsErrc::kNotFound;
        case EEXIST:
            return OsErrc::kExists;
        case EACCES:
        case EPERM:
        case EROFS:
            return OsErrc::kAccess;
        case ENOSPC:
        case EDQUOT:
            return OsErrc::kNoSpace;
        case EAGAIN:
        case EBUSY:
            return OsErrc::kHeld;
        case EINTR:
            return OsErrc::kInterrupted;
        case ENAMETOOLONG:
            return OsErrc::kNameTooLong;
        case EOPNOTSUPP:
        case EISDIR:
        case EINVAL:
        case ENOSYS:
            return OsErrc::kNotSupported;
        case EIO:
            return OsErrc::kIo;
        default:
            return OsErrc::kOther;
    }
}

OsError lastError() {
    const int err = errno;
    return OsError{codeOf(err), err};
}

OsError orError(int rc) { return rc == 0 ? OsError{} : lastError(); }

// A call the file system does not take (an ioctl it has no such thing for,
// attributes it keeps none of) is kNotSupported, whatever number says so.
OsError unsupportedAs(OsError e) {
    if (e.system == ENOTTY || e.system == ENOTSUP || e.system == EOPNOTSUPP || e.system == ENOSYS)
        e.code = OsErrc::kNotSupported;
    // An attribute that is not there.
    if (e.system == ENODATA) e.code = OsErrc::kNotFound;
    return e;
}

template <typename T>
OsResult<T> value(T v) {
    return OsResult<T>{v, {}};
}

template <typename T>
OsResult<T> failed() {
    return OsResult<T>{T{}, lastError()};
}

OsResult<FileHandle> handle(int fd) { return fd >= 0 ? value(fd) : failed<FileHandle>(); }

OsResult<std::size_t> bytes(ssize_t n) {
    return n >= 0 ? value(static_cast<std::size_t>(n)) : failed<std::size_t>();
}

int flagsOf(OpenMode mode) {
    switch (mode) {
        case OpenMode::kRead:
            return O_RDONLY | O_CLOEXEC;
        case OpenMode::kProbe:
            return O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
        case OpenMode::kCreate:
        case OpenMode::kCreateShared:
            return O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
        case OpenMode::kCreateUpdate:
            return O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC;
    }
    return O_RDONLY | O_CLOEXEC;
}

mode_t permissionsOf(OpenMode mode) { return mode == OpenMode::kCreateShared ? 0644 : 0600; }

FileType typeOf(mode_t mode) {
    if (S_ISREG(mode)) return FileType::kRegular;
    if (S_ISDIR(mode)) return FileType::kFolder;
    if (S_ISLNK(mode)) return FileType::kLink;
    return FileType::kOther;
}

OsResult<FileInfo> infoFrom(int rc, const struct stat& st) {
    if (rc != 0) return failed<FileInfo>();
    FileInfo info;
    info.id.volume = static_cast<uint64_t>(st.st_dev);
    info.id.low = static_cast<uint64_t>(st.st_ino);
    info.type = typeOf(st.st_mode);
    info.size = static_cast<uint64_t>(st.st_size);
    info.modified = {static_cast<int64_t>(st.st_mtim.tv_sec),
                     static_cast<uint32_t>(st.st_mtim.tv_nsec)};
    info.changed = {static_cast<int64_t>(st.st_ctim.tv_sec),
                    static_cast<uint32_t>(st.st_ctim.tv_nsec)};
    info.links = static_cast<uint32_t>(st.st_nlink);
    info.owner = st.st_uid;
    info.group = st.st_gid;
    info.permissions = st.st_mode & 07777;
    return value(info);
}

OsResult<uint64_t> roomFrom(int rc, const struct statvfs& vfs) {
    if (rc != 0) return failed<uint64_t>();
    return value(static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize);
}

off_t offsetOf(uint64_t offset) { return static_cast<off_t>(offset); }

struct flock flockOf(const LockRange& range, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offsetOf(range.start);
    fl.l_len = offsetOf(range.length);
    return fl;
}

}  // namespace

std::string describe(const OsError& error) {
    if (error.system != 0) return std::strerror(error.system);
    switch (error.code) {
        case OsErrc::kNone:
            return "Success";
        case OsErrc::kNotFound:
            return std::strerror(ENOENT);
        case OsErrc::kExists:
            return std::strerror(EEXIST);
        case OsErrc::kAccess:
            return std::strerror(EACCES);
        case OsErrc::kNoSpace:
            return std::strerror(ENOSPC);
        case OsErrc::kHeld:
            return std::strerror(EAGAIN);
        case OsErrc::kInterrupted:
            return std::strerror(EINTR);
        case OsErrc::kNameTooLong:
            return std::strerror(ENAMETOOLONG);
        case OsErrc::kNotSupported:
            return std::strerror(EOPNOTSUPP);
        case OsErrc::kIo:
            return std::strerror(EIO);
        case OsErrc::kOther:
            break;
    }
    return "Unknown error";
}

Env& Env::standard() {
    static Env env;
    return env;
}

OsResult<FileHandle> Env::open(const std::string& path, OpenMode mode) {
    return handle(::open(path.c_str(), flagsOf(mode), permissionsOf(mode)));
}

OsResult<FileHandle> Env::openIn(FileHandle folder, const std::string& name, OpenMode mode) {
    return handle(::openat(folder, name.c_str(), flagsOf(mode), permissionsOf(mode)));
}

OsResult<FileHandle> Env::openTemporary(const std::string& folder) {
    return handle(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
}

OsError Env::remove(const std::string& path) { return orError(::unlink(path.c_str())); }

OsResult<FileInfo> Env::infoOf(const std::string& path, bool followLink) {
    struct stat st {};
    return infoFrom(followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st), st);
}

OsResult<FileInfo> Env::infoIn(FileHandle folder, const std::string& name, bool followLink) {
    struct stat st {};
    const int rc = ::fstatat(folder, name.c_str(), &st, followLink ? 0 : AT_SYMLINK_NOFOLLOW);
    return infoFrom(rc, st);
}

OsResult<uint64_t> Env::freeSpace(const std::string& path) {
    struct statvfs vfs {};
    return roomFrom(::statvfs(path.c_str(), &vfs), vfs);
}

OsResult<std::size_t> Env::readAt(FileHandle file, void* buf, std::size_t n, uint64_t offset) {
    return bytes(::pread(file, buf, n, offsetOf(offset)));
}

OsResult<std::size_t> Env::readPartsAt(FileHandle file, const Buffer* parts, int count,
                                       uint64_t offset) {
    static_assert(sizeof(Buffer) == sizeof(iovec));
    iovec vec[IOV_MAX < 256 ? IOV_MAX : 256];
    const int n =
        count < static_cast<int>(std::size(vec)) ? count : static_cast<int>(std::size(vec));
    for (int i = 0; i < n; ++i) vec[i] = {parts[i].data, parts[i].size};
    return bytes(::preadv(file, vec, n, offsetOf(offset)));
}

OsResult<std::size_t> Env::writeAt(FileHandle file, const void* buf, std::size_t n,
                                   uint64_t offset) {
    return bytes(::pwrite(file, buf, n, offsetOf(offset)));
}

OsError Env::flush(FileHandle file) { return orError(::fsync(file)); }

OsError Env::startWriteBack(FileHandle file) {
    return orError(::sync_file_range(file, 0, 0, SYNC_FILE_RANGE_WRITE));
}

OsError Env::dropCached(FileHandle file, uint64_t offset, uint64_t length) {
    const int err = ::posix_fadvise(file, offsetOf(offset), offsetOf(length), POSIX_FADV_DONTNEED);
    return OsError{codeOf(err), err};
}

OsError Env::setSize(FileHandle file, uint64_t size) {
    return orError(::ftruncate(file, offsetOf(size)));
}

OsResult<FileInfo> Env::infoOfFile(FileHandle file) {
    struct stat st {};
    return infoFrom(::fstat(file, &st), st);
}

OsResult<uint64_t> Env::freeSpaceOfFile(FileHandle file) {
    struct statvfs vfs {};
    return roomFrom(::fstatvfs(file, &vfs), vfs);
}

OsResult<FileHandle> Env::duplicate(FileHandle file) {
    return handle(::fcntl(file, F_DUPFD_CLOEXEC, 0));
}

OsError Env::close(FileHandle file) { return orError(::close(file)); }

OsResult<LockHolder> Env::lockOfOthers(FileHandle file, const LockRange& range) {
    struct flock fl = flockOf(range, range.exclusive ? F_WRLCK : F_RDLCK);
    if (::fcntl(file, F_OFD_GETLK, &fl) != 0) return failed<LockHolder>();
    LockHolder holder;
    holder.held = fl.l_type != F_UNLCK;
    holder.range = {static_cast<uint64_t>(fl.l_start), static_cast<uint64_t>(fl.l_len),
                    fl.l_type == F_WRLCK};
    return value(holder);
}

OsError Env::lockRange(FileHandle file, const LockRange& range) {
    const struct flock fl = flockOf(range, range.exclusive ? F_WRLCK : F_RDLCK);
    if (::fcntl(file, F_OFD_SETLK, &fl) == 0) return {};
    const OsError e = lastError();
    return e.system == EACCES ? OsError{OsErrc::kHeld, e.system} : e;
}

OsError Env::lockAlone(FileHandle file) {
    if (::flock(file, LOCK_EX | LOCK_NB) == 0) return {};
    const OsError e = lastError();
    return e.system == EWOULDBLOCK ? OsError{OsErrc::kHeld, e.system} : e;
}

OsResult<std::string> Env::realPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return failed<std::string>();
    std::string real = resolved;
    std::free(resolved);
    return value(real);
}

OsResult<FileHandle> Env::openFolder(const std::string& path) {
    return handle(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

OsError Env::removeIn(FileHandle folder, const std::string& name) {
    return orError(::unlinkat(folder, name.c_str(), 0));
}

OsError Env::renameIn(FileHandle folder, const std::string& from, const std::string& to) {
    return orError(::renameat(folder, from.c_str(), folder, to.c_str()));
}

OsError Env::linkIn(FileHandle folder, const std::string& from, const std::string& to) {
    return orError(::linkat(folder, from.c_str(), folder, to.c_str(), 0));
}

OsError Env::setOwner(FileHandle file, uint32_t owner, uint32_t group) {
    return orError(::fchown(file, owner, group));
}

OsError Env::setPermissions(FileHandle file, uint32_t permissions) {
    return orError(::fchmod(file, static_cast<mode_t>(permissions)));
}

OsResult<FileFlags> Env::fileFlags(FileHandle file) {
    int flags = 0;
    if (::ioctl(file, FS_IOC_GETFLAGS, &flags) != 0) return {{}, unsupportedAs(lastError())};
    FileFlags f;
    f.immutable = (flags & FS_IMMUTABLE_FL) != 0;
    f.appendOnly = (flags & FS_APPEND_FL) != 0;
    return value(f);
}

OsError Env::mayWrite(FileHandle folder, const std::string& name) {
    struct stat st {};
    int want = W_OK;
    if (::fstatat(folder, name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode)) want |= X_OK;
    return orError(::faccessat(folder, name.c_str(), want, AT_EACCESS));
}

// Linux 5.8 on says so of the file itself. Before, nothing tells it safely:
// a file's device differs from its folder's on overlay file systems too.
OsResult<bool> Env::isMountRoot(FileHandle file) {
    struct statx sx {};
    if (::statx(file, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) != 0)
        return {false, unsupportedAs(lastError())};
    if ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0)
        return {false, OsError{OsErrc::kNotSupported, 0}};
    return value((sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0);
}

OsResult<std::size_t> Env::longestName(FileHandle folder) {
    errno = 0;
    const long most = ::fpathconf(folder, _PC_NAME_MAX);
    if (most > 0) return value(static_cast<std::size_t>(most));
    if (errno != 0) return failed<std::size_t>();
    return value(std::size_t{0});  // no limit
}

OsResult<std::vector<std::string>> Env::attributeNames(FileHandle file) {
    std::string buf;
    for (int attempt = 0; attempt < 8; ++attempt) {  // the list may grow meanwhile
        ssize_t n = ::flistxattr(file, nullptr, 0);
        if (n < 0) return {{}, unsupportedAs(lastError())};
        buf.assign(static_cast<std::size_t>(n), '\0');
        if (n > 0) n = ::flistxattr(file, buf.data(), buf.size());
        if (n < 0 && errno == ERANGE) continue;
        if (n < 0) return {{}, unsupportedAs(lastError())};
        std::vector<std::string> names;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n);) {
            std::string name(buf.c_str() + i);
            i += name.size() + 1;
            if (!name.empty()) names.push_back(name);
        }
        return value(names);
    }
    return {{}, OsError{OsErrc::kOther, ERANGE}};
}

OsResult<std::string> Env::attribute(FileHandle file, const std::string& name) {
    for (int attempt = 0; attempt < 8; ++attempt) {  // the value may grow meanwhile
        ssize_t n = ::fgetxattr(file, name.c_str(), nullptr, 0);
        if (n < 0) return {{}, unsupportedAs(lastError())};
        std::string text(static_cast<std::size_t>(n), '\0');
        if (n > 0) n = ::fgetxattr(file, name.c_str(), text.data(), text.size());
        if (n < 0 && errno == ERANGE) continue;
        if (n < 0) return {{}, unsupportedAs(lastError())};
        text.resize(static_cast<std::size_t>(n));
        return value(text);
    }
    return {{}, OsError{OsErrc::kOther, ERANGE}};
}

OsError Env::setAttribute(FileHandle file, const std::string& name, const std::string& text) {
    if (::fsetxattr(file, name.c_str(), text.data(), text.size(), 0) == 0) return {};
    return unsupportedAs(lastError());
}

OsError Env::removeAttribute(FileHandle file, const std::string& name) {
    if (::fremovexattr(file, name.c_str()) == 0) return {};
    return unsupportedAs(lastError());
}

}  // namespace jet
