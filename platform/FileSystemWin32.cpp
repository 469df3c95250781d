// The file operations on Windows, and the database held for its in-place
// rewrite. Windows keeps a file's owner, access list and attributes in the
// file itself, and ReplaceFileW gives them to the file that takes its place
// (the Env's renameIn), so the copy needs nothing carried over. The
// database is held open shared for reading and deletion only: a program
// that has it open for writing (Microsoft's engine with the database open)
// makes holding it fail as "in use", and none can open it for writing while
// it is held.
#include "jet/Error.h"
#include "platform/ErrorRecord.h"
#include "platform/FileSystem.h"
#include "platform/HeldFiles.h"
#include "platform/VirtualStore.h"

namespace platform {

namespace {

constexpr const char* kSeparators = "\\/";
constexpr std::size_t kNameMax = 255;  // UTF-16 units, so at least as many bytes

std::string baseName(const std::string& path) {
    std::size_t slash = path.find_last_of(kSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Win32HeldDatabase : public EnvHeldDatabase {
  public:
    Win32HeldDatabase(jet::Env& env, const std::string& path, const std::string& tempPath)
        : EnvHeldDatabase(env, kSeparators) {
        hold(path, tempPath);
    }

  private:
    [[noreturn]] void raiseSystem(const jet::OsError& e, const std::string& path) const override {
        if (e.code == jet::OsErrc::kHeld) {
            raise(static_cast<int32_t>(jet::ErrorCode::kInUse),
                  "The database '" + path + "' is in use by another program (" + jet::describe(e) +
                      "); close it and try again.",
                  jet::kEngineSource);
        }
        raiseOsError(e, path);
    }

    void checkHoldable(const std::string& path) override {
        if (start_.links > 1) {
            raise(kPermissionDenied,
                  "The database '" + path + "' has " + std::to_string(start_.links) +
                      " names (hard links). Compacting it would give the compacted copy to this "
                      "name alone and leave the old database under the others: remove the other "
                      "names and try again.");
        }
        if ((start_.permissions & 0222) == 0)
            raise(kPermissionDenied,
                  "Permission denied: the database '" + path + "' is read-only.");
    }

    // ReplaceFileW opens the copy for itself alone, so it is closed first;
    // its name is checked again after, in case it changed in between.
    void beforeRename() override {
        tempFd_.reset();
        if (!stillTheCopy()) {
            raise(kPathFileAccessError, "The temporary file '" + temporaryPath() +
                                            "' is no longer the copy this run wrote (it was "
                                            "renamed or replaced meanwhile); nothing was "
                                            "replaced.");
        }
    }

    std::size_t nameMax() const override { return kNameMax; }
};

}  // namespace

std::string RealFileSystem::lookUp(const std::string& path) {
    checkName(path);
    if (path.empty()) return "";
    std::string name = baseName(path);
    if (name.empty() || name[0] == '.') return "";
    const auto st = jet::envOr(env_).infoOf(path, true);
    if (!st.ok()) {
        if (st.error.code == jet::OsErrc::kNotFound || st.error.code == jet::OsErrc::kAccess ||
            st.error.code == jet::OsErrc::kNameTooLong)
            return "";
        raiseOsError(st.error, path);
    }
    return st.value.type == jet::FileType::kRegular ? name : "";
}

std::string RealFileSystem::fileInUse(const std::string& path) {
    if (path.empty()) return path;
    const std::string copy = virtualStorePathOf(fullLongPath(path), systemProtectedFolders());
    return !copy.empty() && !lookUp(copy).empty() ? copy : path;
}

int64_t RealFileSystem::length(const std::string& path) {
    checkName(path);
    const auto st = jet::envOr(env_).infoOf(path, true);
    if (!st.ok()) raiseOsError(st.error, path);
    if (st.value.type != jet::FileType::kRegular)
        raise(kFileNotFound, "File not found ('" + path + "')");
    return static_cast<int64_t>(st.value.size);
}

void RealFileSystem::remove(const std::string& path) {
    checkName(path);
    if (const jet::OsError e = jet::envOr(env_).remove(path)) raiseOsError(e, path);
}

void RealFileSystem::rename(const std::string& from, const std::string& to) {
    checkName(from);
    checkName(to);
    jet::Env& env = jet::envOr(env_);
    if (env.infoOf(to, false).ok()) raise(kFileAlreadyExists, "File already exists ('" + to + "')");
    if (const jet::OsError e = env.renameIn(jet::kWorkingFolder, from, to)) raiseOsError(e, from);
}

std::unique_ptr<HeldDatabase> RealFileSystem::hold(const std::string& path,
                                                   const std::string& tempPath) {
    checkName(path);
    checkName(tempPath);
    return std::make_unique<Win32HeldDatabase>(jet::envOr(env_), path, tempPath);
}

}  // namespace platform
