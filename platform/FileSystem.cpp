#include "platform/FileSystem.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "jet/InPlace.h"
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

// The user or group name for an id, with the id ("alice (uid 1000)").
std::string userName(uid_t uid) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::string buf(16384, '\0');
    std::string id = "uid " + std::to_string(uid);
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found)
        return std::string(found->pw_name) + " (" + id + ")";
    return id;
}

std::string groupName(gid_t gid) {
    struct group gr {};
    struct group* found = nullptr;
    std::string buf(16384, '\0');
    std::string id = "gid " + std::to_string(gid);
    if (::getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found)
        return std::string(found->gr_name) + " (" + id + ")";
    return id;
}

bool inGroup(gid_t gid) {
    if (gid == ::getegid()) return true;
    int n = ::getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    n = ::getgroups(n, groups.data());
    return n > 0 && std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

[[noreturn]] void ownerCannotBeKept(const std::string& path, const struct stat& st) {
    if (st.st_uid == ::geteuid()) {
        raise(kPermissionDenied,
              "Permission denied: the database '" + path + "' is in the group " +
                  groupName(st.st_gid) +
                  ", which this user does not belong to: its compacted copy could not keep "
                  "that group. Ask an administrator to compact it.");
    }
    raise(kPermissionDenied,
          "Permission denied: the database '" + path + "' belongs to " + userName(st.st_uid) +
              ", group " + groupName(st.st_gid) +
              ". Compacting it as this user would take it from them: ask that user or an "
              "administrator to compact it.");
}

// The names of a file's extended attributes (access lists included).
std::vector<std::string> attributeNames(int fd) {
    ssize_t n = ::flistxattr(fd, nullptr, 0);
    if (n <= 0) return {};
    std::string buf(static_cast<std::size_t>(n), '\0');
    n = ::flistxattr(fd, buf.data(), buf.size());
    if (n <= 0) return {};
    std::vector<std::string> names;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n);) {
        std::string name(buf.c_str() + i);
        i += name.size() + 1;
        if (!name.empty()) names.push_back(name);
    }
    return names;
}

bool attribute(int fd, const std::string& name, std::string& value) {
    ssize_t n = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (n < 0) return false;
    value.assign(static_cast<std::size_t>(n), '\0');
    n = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (n < 0) return false;
    value.resize(static_cast<std::size_t>(n));
    return true;
}

// Gives the copy exactly the original's extended attributes, its access
// lists among them.
void copyAttributes(int from, int to, const std::string& path) {
    const auto wanted = attributeNames(from);
    for (const auto& name : attributeNames(to)) {
        if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) continue;
        if (::fremovexattr(to, name.c_str()) != 0 && errno != ENODATA) {
            raise(kPermissionDenied, "Permission denied: the compacted copy of '" + path +
                                         "' cannot lose the attribute '" + name +
                                         "' the database does not have (" + std::strerror(errno) +
                                         ").");
        }
    }
    for (const auto& name : wanted) {
        std::string value, have;
        if (!attribute(from, name, value)) continue;  // gone meanwhile
        if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) == 0) continue;
        const int err = errno;
        if (attribute(to, name, have) && have == value) continue;
        raise(kPermissionDenied, "Permission denied: the database's attribute '" + name +
                                     "' cannot be given to its compacted copy (" +
                                     std::strerror(err) + "); '" + path + "' was left as it is.");
    }
}

// A descriptor closed with its owner, also when a constructor throws.
class Descriptor {
  public:
    Descriptor() = default;
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(int fd) {
        reset();
        fd_ = fd;
        return *this;
    }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

class PosixHeldDatabase : public HeldDatabase {
  public:
    PosixHeldDatabase(const std::string& path, const std::string& tempPath) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (!resolved) raiseErrno(errno, path);
        real_ = resolved;
        std::free(resolved);
        folder_ = dirName(real_);
        name_ = baseName(real_);
        tempName_ = temporaryName(path, tempPath);
        if (tempName_ == name_) sameAsDatabase(tempPath);
        dirFd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd_.get() < 0) raiseErrno(errno, folder_);
        fd_ = ::openat(dirFd_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd_.get() < 0) raiseErrno(errno, path);
        if (::fstat(fd_.get(), &start_) != 0) raiseErrno(errno, path);
        if (!S_ISREG(start_.st_mode)) raise(kFileNotFound, "File not found ('" + path + "')");
        struct stat named {};
        if (::stat(path.c_str(), &named) != 0 || !sameFile(named, start_)) {
            raise(kPathFileAccessError, "Path/File access error: '" + path +
                                            "' was changed while it was opened; try again.");
        }
        checkWritable(path);
        checkOwnerCanBeKept();
        auto locked = jet::lockDatabase(fd_.get(), dirFd_.get(), real_);
        if (!locked) {
            throw RaisedError(ErrorRecord{locked.error().number, locked.error().description,
                                          locked.error().source});
        }
    }

    std::string path() const override { return real_; }
    std::string temporaryPath() const override { return joined(tempName_); }
    int database() const override { return fd_.get(); }

    bool temporaryExists() override {
        if (tempName_.empty() || tempName_[0] == '.') return false;
        struct stat st {};
        return ::fstatat(dirFd_.get(), tempName_.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode);
    }

    void removeTemporary() override {
        struct stat st {};
        if (tempFd_.get() >= 0) {  // the copy of this run, if it is still at the name
            if (::fstatat(dirFd_.get(), tempName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !sameFile(st, temp_)) {
                forgetTemporary();
                return;
            }
        } else {
            for (int flags : {0, AT_SYMLINK_NOFOLLOW}) {
                if (::fstatat(dirFd_.get(), tempName_.c_str(), &st, flags) == 0 &&
                    sameFile(st, start_))
                    sameAsDatabase(temporaryPath());
            }
        }
        if (::unlinkat(dirFd_.get(), tempName_.c_str(), 0) != 0 && errno != ENOENT)
            raiseErrno(errno, temporaryPath());
        forgetTemporary();
    }

    int createTemporary() override {
        const std::string temp = temporaryPath();
        tempFd_ = ::openat(dirFd_.get(), tempName_.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (tempFd_.get() < 0) {
            const int err = errno;
            if (err == ENOSPC || err == EDQUOT) {
                raise(kDiskFull, "There is not enough room on the disk to create '" + temp + "'.");
            }
            raiseErrno(err, temp);
        }
        onSignal_.emplace(tempName_, dirFd_.get());
        if (::fstat(tempFd_.get(), &temp_) != 0) raiseErrno(errno, temp);
        // The owner first: changing it may clear set-id bits the mode restores.
        if (::fchown(tempFd_.get(), start_.st_uid, start_.st_gid) != 0) {
            const int err = errno;
            removeTemporary();
            if (err == EPERM) ownerCannotBeKept(real_, start_);
            raiseErrno(err, temp);
        }
        return tempFd_.get();
    }

    void flushTemporary() override {
        if (::fsync(tempFd_.get()) != 0) raiseErrno(errno, temporaryPath());
    }

    std::string replace(bool keepOriginal) override {
        const std::string temp = temporaryPath();
        struct stat named {};
        if (::fstatat(dirFd_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !sameFile(named, start_)) {
            removeTemporary();
            raise(kPathFileAccessError, "The name '" + real_ +
                                            "' no longer refers to the database that was "
                                            "compacted (it was renamed or replaced meanwhile); "
                                            "nothing was replaced.");
        }
        struct stat now {};
        if (::fstat(fd_.get(), &now) != 0) raiseErrno(errno, real_);
        if (now.st_size != start_.st_size || !sameTime(now.st_mtim, start_.st_mtim) ||
            !sameTime(now.st_ctim, start_.st_ctim)) {
            removeTemporary();
            raise(kPathFileAccessError,
                  "The database '" + real_ +
                      "' was changed by another program while it was compacted. It was left "
                      "as that program wrote it and the copy was removed; close the other "
                      "program and try again.");
        }
        if (::fstatat(dirFd_.get(), tempName_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !sameFile(named, temp_)) {
            forgetTemporary();
            raise(kPathFileAccessError, "The temporary file '" + temp +
                                            "' is no longer the copy this run wrote (it was "
                                            "renamed or replaced meanwhile); nothing was "
                                            "replaced.");
        }
        if (::fchown(tempFd_.get(), start_.st_uid, start_.st_gid) != 0) {
            if (errno == EPERM) ownerCannotBeKept(real_, start_);
            raiseErrno(errno, temp);
        }
        if (::fchmod(tempFd_.get(), start_.st_mode & 07777) != 0) raiseErrno(errno, temp);
        copyAttributes(fd_.get(), tempFd_.get(), real_);
        if (::fsync(tempFd_.get()) != 0) raiseErrno(errno, temp);
        std::string kept = keepOriginal ? keepBeside() : "";
        if (::renameat(dirFd_.get(), tempName_.c_str(), dirFd_.get(), name_.c_str()) != 0) {
            const int err = errno;
            if (!kept.empty()) ::unlinkat(dirFd_.get(), baseName(kept).c_str(), 0);
            raiseErrno(err, temp);
        }
        forgetTemporary();
        if (::fsync(dirFd_.get()) != 0) raiseErrno(errno, folder_);
        return kept;
    }

  private:
    // The temporary's name in the real file's folder: the real name with the
    // suffix tempPath adds to path, or else tempPath's own name, which must
    // then be beside path.
    std::string temporaryName(const std::string& path, const std::string& tempPath) const {
        if (tempPath.size() > path.size() && tempPath.compare(0, path.size(), path) == 0) {
            const std::string suffix = tempPath.substr(path.size());
            if (suffix.find('/') == std::string::npos) return name_ + suffix;
        }
        if (dirName(tempPath) != dirName(path) || baseName(tempPath).empty()) {
            raise(kPathFileAccessError, "Path/File access error: the temporary file '" + tempPath +
                                            "' must be beside the database '" + path + "'.");
        }
        return baseName(tempPath);
    }

    [[noreturn]] void sameAsDatabase(const std::string& temp) const {
        raise(kPathFileAccessError,
              "Path/File access error: the temporary file '" + temp +
                  "' is the database itself ('" + real_ +
                  "'), so it was not deleted. Give the database another name and try "
                  "again.");
    }

    std::string joined(const std::string& name) const {
        return folder_ == "/" ? "/" + name : folder_ + "/" + name;
    }

    void checkWritable(const std::string& path) const {
        const std::string readOnly = "Permission denied: the database '" + path + "' is read-only";
        if (start_.st_nlink > 1) {
            raise(kPermissionDenied,
                  "The database '" + path + "' has " + std::to_string(start_.st_nlink) +
                      " names (hard links). Compacting it would give the compacted copy to this "
                      "name alone and leave the old database under the others: remove the other "
                      "names and try again.");
        }
        if ((start_.st_mode & 0222) == 0) raise(kPermissionDenied, readOnly + ".");
        int flags = 0;
        if (::ioctl(fd_.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
            (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
            raise(kPermissionDenied, readOnly + " (it is marked immutable or append-only).");
        }
        if (::faccessat(dirFd_.get(), name_.c_str(), W_OK, AT_EACCESS) != 0) {
            if (errno == EROFS) raise(kPermissionDenied, readOnly + " (its file system is).");
            raise(kPermissionDenied, readOnly + " for this user.");
        }
        if (::faccessat(dirFd_.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
            raise(kPermissionDenied, "Permission denied: cannot write in the folder '" + folder_ +
                                         "' of the database (" + std::strerror(errno) + ").");
        }
        // Names can be added to an append-only folder, but none replaced.
        flags = 0;
        if (::ioctl(dirFd_.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
            (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
            raise(kPermissionDenied, "Permission denied: the folder '" + folder_ +
                                         "' of the database is marked append-only or immutable, "
                                         "so the compacted copy could not replace the database.");
        }
        // Nothing can be renamed over a file mounted at its name (a single
        // file given to a container, say).
        struct statx sx {};
        if (::statx(fd_.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) == 0 &&
            (sx.stx_attributes_mask & sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
            raise(kPermissionDenied,
                  "Permission denied: the database '" + path +
                      "' is a file mounted over that name, so the compacted copy could not "
                      "replace it. Compact it where it is mounted from.");
        }
    }

    // Only an administrator gives a file away; anyone else keeps the owner
    // only by being it, and the group only by belonging to it.
    void checkOwnerCanBeKept() const {
        if (::geteuid() == 0) return;  // the copy's creation tells when even that cannot
        if (start_.st_uid != ::geteuid() || !inGroup(start_.st_gid))
            ownerCannotBeKept(real_, start_);
    }

    // Links the original under a free name saying what it is; a name too
    // long to take the suffix is shortened first.
    std::string keepBeside() const {
        const std::string longest = ".damaged-1000";
        std::string base = name_;
        const long most = ::fpathconf(dirFd_.get(), _PC_NAME_MAX);
        if (most > 0 && base.size() + longest.size() > static_cast<std::size_t>(most)) {
            base.resize(static_cast<std::size_t>(most) - longest.size());
            // No character cut in half: the last one goes if it lost bytes.
            std::size_t start = base.size();
            auto byte = [&](std::size_t i) { return static_cast<unsigned char>(base[i]); };
            while (start > 0 && (byte(start - 1) & 0xC0) == 0x80) --start;
            if (start > 0) {
                const unsigned char lead = byte(start - 1);
                const std::size_t length = lead < 0xC0    ? 1
                                           : lead >= 0xF0 ? 4
                                           : lead >= 0xE0 ? 3
                                                          : 2;
                if (start - 1 + length > base.size()) base.resize(start - 1);
            }
        }
        for (int n = 1; n <= 1000; ++n) {
            const std::string name =
                base + ".damaged" + (n == 1 ? std::string() : "-" + std::to_string(n));
            if (::linkat(dirFd_.get(), name_.c_str(), dirFd_.get(), name.c_str(), 0) == 0)
                return joined(name);
            if (errno != EEXIST) raiseErrno(errno, joined(name));
        }
        raise(kFileAlreadyExists,
              "File already exists: no free name to keep the damaged "
              "original of '" +
                  real_ + "' under.");
    }

    void forgetTemporary() {
        onSignal_.reset();
        tempFd_.reset();
    }

    std::string real_, folder_, name_, tempName_;
    Descriptor dirFd_;
    Descriptor fd_;
    struct stat start_ {};
    Descriptor tempFd_;
    struct stat temp_ {};
    // Declared after the folder: it names the copy in it, so goes first.
    std::optional<jet::RemoveOnInterrupt> onSignal_;
};

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

std::unique_ptr<HeldDatabase> PosixFileSystem::hold(const std::string& path,
                                                    const std::string& tempPath) {
    checkName(path);
    checkName(tempPath);
    return std::make_unique<PosixHeldDatabase>(path, tempPath);
}

}  // namespace platform
