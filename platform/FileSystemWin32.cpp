// The file operations on Windows, and the database held for its in-place
// rewrite. Windows keeps a file's owner, access list and attributes in the
// file itself, and ReplaceFileW gives them to the file that takes its place
// (the Env's renameIn), so the copy needs nothing carried over. The
// database is held open shared for reading and deletion only: a program
// that has it open for writing (Microsoft's engine with the database open)
// makes holding it fail as "in use", and none can open it for writing while
// it is held.
#include "platform/EnvHeldDatabase.h"
#include "platform/ErrorRecord.h"
#include "platform/FileSystem.h"
#include "platform/VirtualStore.h"

namespace platform {

namespace {

class Win32HeldDatabase : public EnvHeldDatabase {
  public:
    Win32HeldDatabase(jet::Env& env, const std::string& path, const std::string& tempPath)
        : EnvHeldDatabase(env) {
        hold(path, tempPath);
    }

  private:
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
};

}  // namespace

std::string RealFileSystem::fileInUse(const std::string& path) {
    if (path.empty()) return path;
    const std::string copy = virtualStorePathOf(fullLongPath(path), systemProtectedFolders());
    return !copy.empty() && !lookUp(copy).empty() ? copy : path;
}

std::unique_ptr<HeldDatabase> holdOnThisSystem(jet::Env& env, const std::string& path,
                                               const std::string& tempPath) {
    return std::make_unique<Win32HeldDatabase>(env, path, tempPath);
}

}  // namespace platform
