// The database held for its in-place rewrite, on any system: every step on
// the files goes through the engine's Env, so that a test can fail, pause or
// count each of them. What differs between systems (what keeps a file from
// being rewritten in place, what the copy must be given of the original) is
// left to the hooks of the systems' own classes, in FileSystemPosix.cpp and
// FileSystemWin32.cpp; paths are taken apart by jet/Path.h.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "jet/Env.h"
#include "jet/InPlace.h"
#include "jet/Path.h"
#include "platform/FileSystem.h"

namespace platform {

// Refuses a name with a zero byte in it, as the runtime does.
void checkName(const std::string& path);

class EnvHeldDatabase : public HeldDatabase {
  public:
    std::string path() const override { return real_; }
    std::string temporaryPath() const override { return joined(tempName_); }
    int database() const override { return fd_.get(); }
    bool temporaryExists() override;
    void removeTemporary() override;
    int createTemporary() override;
    void flushTemporary() override;
    std::string replace(bool keepOriginal) override;

  protected:
    explicit EnvHeldDatabase(jet::Env& env);
    // Resolves the path, opens the file and its folder, checks and locks;
    // the systems' constructors call it once their hooks can be called.
    void hold(const std::string& path, const std::string& tempPath);

    // Refuses a database that cannot be rewritten keeping what it is.
    virtual void checkHoldable(const std::string& path) = 0;
    // The new temporary given the database's owner (it is removed when that
    // fails), and before the swap everything else the copy must keep.
    virtual void giveOwner() {}
    virtual void carryOver() {}
    // Just before the rename, once the copy is durable: where the rename
    // cannot take an open file, the copy is closed (and checked once more).
    virtual void beforeRename() {}
    // After the rename: what makes it durable besides.
    virtual void afterSwap() {}
    // What the Env said of a step on path, raised (raiseOsError).
    [[noreturn]] void raiseSystem(const jet::OsError& e, const std::string& path) const;

    std::string joined(const std::string& name) const { return jet::joinPath(folder_, name); }

    jet::Env& env_;
    std::string real_, folder_, name_, tempName_;
    jet::OwnedFile dirFd_;
    jet::OwnedFile fd_;
    jet::FileInfo start_;
    jet::OwnedFile tempFd_;
    jet::FileInfo temp_;

    bool stillTheCopy() const;

  private:
    std::string temporaryName(const std::string& path, const std::string& tempPath) const;
    [[noreturn]] void sameAsDatabase(const std::string& temp) const;
    void checkUnchanged();
    std::string keepBeside() const;
    void forgetTemporary();
    void take(jet::OwnedFile& file, const jet::OsResult<jet::FileHandle>& fd,
              const std::string& path);

    // Declared after the folder: it names the copy in it, so goes first.
    std::optional<jet::RemoveOnInterrupt> onSignal_;
};

// The system's own HeldDatabase (FileSystemPosix.cpp, FileSystemWin32.cpp).
std::unique_ptr<HeldDatabase> holdOnThisSystem(jet::Env& env, const std::string& path,
                                               const std::string& tempPath);

}  // namespace platform
