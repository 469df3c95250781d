// The file operations on POSIX systems, and the database held for its
// in-place rewrite: every step on the files goes through the engine's Env.
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
#include <cstring>
#include <memory>
#include <vector>

#include "platform/ErrorRecord.h"
#include "platform/FileSystem.h"
#include "platform/HeldFiles.h"

namespace platform {

namespace {

std::string baseName(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

[[noreturn]] void ownerCannotBeKept(const std::string& path, const jet::FileInfo& st) {
    if (st.owner == ::geteuid()) {
        raise(kPermissionDenied,
              "Permission denied: the database '" + path + "' is in the group " +
                  groupName(st.group) +
                  ", which this user does not belong to: its compacted copy could not keep "
                  "that group. Ask an administrator to compact it.");
    }
    raise(kPermissionDenied,
          "Permission denied: the database '" + path + "' belongs to " + userName(st.owner) +
              ", group " + groupName(st.group) +
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

class PosixHeldDatabase : public EnvHeldDatabase {
  public:
    PosixHeldDatabase(jet::Env& env, const std::string& path, const std::string& tempPath)
        : EnvHeldDatabase(env, "/") {
        hold(path, tempPath);
    }

  private:
    [[noreturn]] void raiseSystem(const jet::OsError& e, const std::string& path) const override {
        if (e.system != 0) raiseErrno(e.system, path);
        raiseOsError(e, path);
    }

    void checkHoldable(const std::string& path) override {
        checkWritable(path);
        checkOwnerCanBeKept();
    }

    // The owner first: changing it may clear set-id bits the mode restores.
    void giveOwner() override {
        if (const jet::OsError e = env_.setOwner(tempFd_.get(), start_.owner, start_.group)) {
            removeTemporary();
            if (e.system == EPERM) ownerCannotBeKept(real_, start_);
            raiseSystem(e, temporaryPath());
        }
    }

    void carryOver() override {
        const std::string temp = temporaryPath();
        if (const jet::OsError e = env_.setOwner(tempFd_.get(), start_.owner, start_.group)) {
            if (e.system == EPERM) ownerCannotBeKept(real_, start_);
            raiseSystem(e, temp);
        }
        if (const jet::OsError e = env_.setPermissions(tempFd_.get(), start_.permissions))
            raiseSystem(e, temp);
        copyAttributes(fd_.get(), tempFd_.get(), real_);
    }

    // The rename is durable once the folder is.
    void afterSwap() override {
        if (const jet::OsError e = env_.flush(dirFd_.get())) raiseSystem(e, folder_);
    }

    std::size_t nameMax() const override {
        const long most = ::fpathconf(dirFd_.get(), _PC_NAME_MAX);
        return most > 0 ? static_cast<std::size_t>(most) : 0;
    }

    void checkWritable(const std::string& path) const {
        const std::string readOnly = "Permission denied: the database '" + path + "' is read-only";
        if (start_.links > 1) {
            raise(kPermissionDenied,
                  "The database '" + path + "' has " + std::to_string(start_.links) +
                      " names (hard links). Compacting it would give the compacted copy to this "
                      "name alone and leave the old database under the others: remove the other "
                      "names and try again.");
        }
        if ((start_.permissions & 0222) == 0) raise(kPermissionDenied, readOnly + ".");
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
        if (start_.owner != ::geteuid() || !inGroup(start_.group)) ownerCannotBeKept(real_, start_);
    }
};

}  // namespace

std::string RealFileSystem::lookUp(const std::string& path) {
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

// Only Windows keeps copies for programs of the old kind.
std::string RealFileSystem::fileInUse(const std::string& path) { return path; }

int64_t RealFileSystem::length(const std::string& path) {
    checkName(path);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) raiseErrno(errno, path);
    if (!S_ISREG(st.st_mode)) raise(kFileNotFound, "File not found ('" + path + "')");
    return static_cast<int64_t>(st.st_size);
}

void RealFileSystem::remove(const std::string& path) {
    checkName(path);
    if (::unlink(path.c_str()) != 0) raiseErrno(errno, path);
}

void RealFileSystem::rename(const std::string& from, const std::string& to) {
    checkName(from);
    checkName(to);
    if (::rename(from.c_str(), to.c_str()) != 0) raiseErrno(errno, from);
}

std::unique_ptr<HeldDatabase> RealFileSystem::hold(const std::string& path,
                                                   const std::string& tempPath) {
    checkName(path);
    checkName(tempPath);
    return std::make_unique<PosixHeldDatabase>(jet::envOr(env_), path, tempPath);
}

}  // namespace platform
