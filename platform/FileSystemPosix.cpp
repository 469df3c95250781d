// The file operations on POSIX systems, and the database held for its
// in-place rewrite: every step on the files goes through the engine's Env.
// What is asked here of the system itself is only who this user is.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/EnvHeldDatabase.h"
#include "platform/ErrorRecord.h"
#include "platform/FileSystem.h"

namespace platform {

namespace {

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

class PosixHeldDatabase : public EnvHeldDatabase {
  public:
    PosixHeldDatabase(jet::Env& env, const std::string& path, const std::string& tempPath)
        : EnvHeldDatabase(env) {
        hold(path, tempPath);
    }

  private:
    void checkHoldable(const std::string& path) override {
        checkWritable(path);
        checkOwnerCanBeKept();
    }

    // The owner first: changing it may clear set-id bits the mode restores.
    void giveOwner() override {
        if (const jet::OsError e = env_.setOwner(tempFd_.get(), start_.owner, start_.group)) {
            removeTemporary();
            if (e.code == jet::OsErrc::kAccess) ownerCannotBeKept(real_, start_);
            raiseSystem(e, temporaryPath());
        }
    }

    void carryOver() override {
        const std::string temp = temporaryPath();
        if (const jet::OsError e = env_.setOwner(tempFd_.get(), start_.owner, start_.group)) {
            if (e.code == jet::OsErrc::kAccess) ownerCannotBeKept(real_, start_);
            raiseSystem(e, temp);
        }
        if (const jet::OsError e = env_.setPermissions(tempFd_.get(), start_.permissions))
            raiseSystem(e, temp);
        copyAttributes();
    }

    // The rename is durable once the folder is.
    void afterSwap() override {
        if (const jet::OsError e = env_.flush(dirFd_.get())) raiseSystem(e, folder_);
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
        if (marked(fd_.get(), path))
            raise(kPermissionDenied, readOnly + " (it is marked immutable or append-only).");
        if (const jet::OsError e = env_.mayWrite(dirFd_.get(), name_)) {
            if (e.code != jet::OsErrc::kAccess) raiseSystem(e, path);
            if (e.system == EROFS) raise(kPermissionDenied, readOnly + " (its file system is).");
            raise(kPermissionDenied, readOnly + " for this user.");
        }
        if (const jet::OsError e = env_.mayWrite(dirFd_.get(), ".")) {
            if (e.code != jet::OsErrc::kAccess) raiseSystem(e, folder_);
            raise(kPermissionDenied, "Permission denied: cannot write in the folder '" + folder_ +
                                         "' of the database (" + jet::describe(e) + ").");
        }
        // Names can be added to an append-only folder, but none replaced.
        if (marked(dirFd_.get(), folder_)) {
            raise(kPermissionDenied, "Permission denied: the folder '" + folder_ +
                                         "' of the database is marked append-only or immutable, "
                                         "so the compacted copy could not replace the database.");
        }
        // Nothing can be renamed over a file mounted at its name (a single
        // file given to a container, say). Where the system cannot tell, the
        // rename will.
        const auto mounted = env_.isMountRoot(fd_.get());
        if (!mounted.ok() && mounted.error.code != jet::OsErrc::kNotSupported)
            raiseSystem(mounted.error, path);
        if (mounted.ok() && mounted.value) {
            raise(kPermissionDenied,
                  "Permission denied: the database '" + path +
                      "' is a file mounted over that name, so the compacted copy could not "
                      "replace it. Compact it where it is mounted from.");
        }
    }

    // Whether the file or folder is marked immutable or append-only; a file
    // system that keeps no such marks has none.
    bool marked(jet::FileHandle file, const std::string& path) const {
        const auto flags = env_.fileFlags(file);
        if (!flags.ok()) {
            if (flags.error.code == jet::OsErrc::kNotSupported) return false;
            raiseSystem(flags.error, path);
        }
        return flags.value.immutable || flags.value.appendOnly;
    }

    // Gives the copy exactly the database's extended attributes, its access
    // lists among them. A file system that keeps none has none to give.
    void copyAttributes() {
        const std::vector<std::string> wanted = attributesOf(fd_.get(), real_);
        for (const auto& name : attributesOf(tempFd_.get(), temporaryPath())) {
            if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) continue;
            const jet::OsError e = env_.removeAttribute(tempFd_.get(), name);
            if (!e || e.code == jet::OsErrc::kNotFound) continue;
            raiseNumbered(e, "the compacted copy of '" + real_ + "' cannot lose the attribute '" +
                                 name + "' the database does not have (" + jet::describe(e) + ").");
        }
        for (const auto& name : wanted) {
            const auto value = env_.attribute(fd_.get(), name);
            if (!value.ok() && value.error.code == jet::OsErrc::kNotFound) continue;  // gone
            if (!value.ok()) {
                raiseNumbered(value.error, "the database's attribute '" + name +
                                               "' cannot be read (" + jet::describe(value.error) +
                                               "); '" + real_ + "' was left as it is.");
            }
            const jet::OsError e = env_.setAttribute(tempFd_.get(), name, value.value);
            if (!e) continue;
            const auto have = env_.attribute(tempFd_.get(), name);
            if (have.ok() && have.value == value.value) continue;
            raiseNumbered(e, "the database's attribute '" + name +
                                 "' cannot be given to its compacted copy (" + jet::describe(e) +
                                 "); '" + real_ + "' was left as it is.");
        }
    }

    std::vector<std::string> attributesOf(jet::FileHandle file, const std::string& path) const {
        const auto names = env_.attributeNames(file);
        if (names.ok()) return names.value;
        if (names.error.code == jet::OsErrc::kNotSupported) return {};
        raiseNumbered(names.error, "the attributes of '" + path + "' cannot be listed (" +
                                       jet::describe(names.error) + "); '" + real_ +
                                       "' was left as it is.");
    }

    // Only an administrator gives a file away; anyone else keeps the owner
    // only by being it, and the group only by belonging to it.
    void checkOwnerCanBeKept() const {
        if (::geteuid() == 0) return;  // the copy's creation tells when even that cannot
        if (start_.owner != ::geteuid() || !inGroup(start_.group)) ownerCannotBeKept(real_, start_);
    }
};

}  // namespace

// Only Windows keeps copies for programs of the old kind.
std::string RealFileSystem::fileInUse(const std::string& path) { return path; }

std::unique_ptr<HeldDatabase> holdOnThisSystem(jet::Env& env, const std::string& path,
                                               const std::string& tempPath) {
    return std::make_unique<PosixHeldDatabase>(env, path, tempPath);
}

}  // namespace platform
