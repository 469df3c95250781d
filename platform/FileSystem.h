// The file operations of the runtime. Each raises a RaisedError when the
// operation fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "jet/Env.h"

namespace platform {

// A database held for rewriting in place, from the moment its path is
// resolved until its copy has replaced it. The path is resolved once, when
// it is held: the real file and its folder stay open, the compaction's locks
// are taken on the file and kept, and every later step works relative to
// that folder, so that a name changed meanwhile redirects nothing. The
// temporary lives beside the real file: a database reached through a link
// has its copy written on the file system the file is on, named after the
// file. Destroying it releases the locks.
class HeldDatabase {
  public:
    virtual ~HeldDatabase() = default;
    // The real path of the database, and that of its temporary.
    virtual std::string path() const = 0;
    virtual std::string temporaryPath() const = 0;
    // Whether a normal file (as FileSystem::lookUp matches one) is at the
    // temporary's name.
    virtual bool temporaryExists() = 0;
    // Deletes what is at the temporary's name: a file left there, or the
    // copy this run created. Refuses when that is the database itself.
    virtual void removeTemporary() = 0;
    // Creates the temporary, empty, with the database's owner and group, and
    // returns it open for reading and writing (it stays owned by this
    // object). Until it is swapped in, an interrupt or termination signal
    // removes it (see jet::RemoveOnInterrupt).
    virtual int createTemporary() = 0;
    // The database, open for reading.
    virtual int database() const = 0;
    // Makes the written temporary durable.
    virtual void flushTemporary() = 0;
    // Puts the temporary in the database's place in one step, with the
    // database's owner, group, permissions, access lists and extended
    // attributes, and flushes the folder. Refuses, swapping nothing, when the
    // database was written since it was held (its size or times differ),
    // when its name no longer refers to it, or when the temporary's no longer
    // refers to the copy; a copy that would lose a change is removed. With
    // keepOriginal, the original stays beside the database under a new name
    // that says it is the damaged original (no file is ever overwritten),
    // and its path is returned; "" otherwise. On any other failure the
    // database is untouched and the copy stays at the temporary path.
    virtual std::string replace(bool keepOriginal) = 0;
};

class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // The name of the file the path names, or "" when no normal file does.
    // The path is taken literally; only regular files count, not hidden
    // ones (a name starting with "."), folders, devices, sockets or pipes.
    virtual std::string lookUp(const std::string& path) = 0;
    // The file's size in bytes.
    virtual int64_t length(const std::string& path) = 0;
    // The file the product really uses for the path it was given: on
    // Windows, its copy in the user's VirtualStore when the path lies in a
    // protected folder and the VirtualStore holds a normal file there (see
    // VirtualStore.h); the path itself otherwise.
    virtual std::string fileInUse(const std::string& path) = 0;
    // Holds the database at path for rewriting in place, with its temporary
    // copy at tempPath (see HeldDatabase). Refuses, before anything is
    // written, a database that cannot be rewritten keeping what it is:
    // read-only, with more than one name, or whose owner or group this user
    // cannot give the copy; one that cannot be renamed over (in a folder
    // marked append-only, or a file mounted over its name); and one another
    // process holds.
    virtual std::unique_ptr<HeldDatabase> hold(const std::string& path,
                                               const std::string& tempPath) = 0;
};

// The real file system, written once over the engine's Env
// (EnvHeldDatabase.cpp; the systems' halves in FileSystemPosix.cpp and
// FileSystemWin32.cpp). env: the calls every operation makes (none: the
// system's own).
class RealFileSystem : public FileSystem {
  public:
    explicit RealFileSystem(jet::Env* env = nullptr) : env_(env) {}
    std::string lookUp(const std::string& path) override;
    int64_t length(const std::string& path) override;
    std::string fileInUse(const std::string& path) override;
    std::unique_ptr<HeldDatabase> hold(const std::string& path,
                                       const std::string& tempPath) override;

  private:
    jet::Env* env_;
};

}  // namespace platform
