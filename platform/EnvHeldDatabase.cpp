// The steps of the in-place rewrite that are the same on every system, and
// the real file system's operations but the one that differs
// (RealFileSystem::fileInUse).
#include "platform/EnvHeldDatabase.h"

#include "platform/ErrorRecord.h"

namespace platform {

namespace {

bool sameFile(const jet::OsResult<jet::FileInfo>& a, const jet::FileInfo& b) {
    return a.ok() && a.value.id == b.id;
}

}  // namespace

void checkName(const std::string& path) {
    if (path.find('\0') != std::string::npos) raise(kBadFileName, "Bad file name or number");
}

std::string RealFileSystem::lookUp(const std::string& path) {
    checkName(path);
    if (path.empty()) return "";
    const std::string name = jet::lastName(path);
    if (name.empty() || name[0] == '.') return "";
    jet::Env& env = jet::envOr(env_);
    const auto st = env.infoOf(path, true);
    if (!st.ok()) {
        const jet::OsErrc code = st.error.code;
        if (code == jet::OsErrc::kNotFound || code == jet::OsErrc::kAccess ||
            code == jet::OsErrc::kNameTooLong)
            return "";
        // A link that leads nowhere (in a loop, say) names no normal file.
        const auto link = env.infoOf(path, false);
        if (link.ok() && link.value.type == jet::FileType::kLink) return "";
        raiseOsError(st.error, path);
    }
    return st.value.type == jet::FileType::kRegular ? name : "";
}

int64_t RealFileSystem::length(const std::string& path) {
    checkName(path);
    const auto st = jet::envOr(env_).infoOf(path, true);
    if (!st.ok()) raiseOsError(st.error, path);
    if (st.value.type != jet::FileType::kRegular)
        raise(kFileNotFound, "File not found ('" + path + "')");
    return static_cast<int64_t>(st.value.size);
}

std::unique_ptr<HeldDatabase> RealFileSystem::hold(const std::string& path,
                                                   const std::string& tempPath) {
    checkName(path);
    checkName(tempPath);
    return holdOnThisSystem(jet::envOr(env_), path, tempPath);
}

EnvHeldDatabase::EnvHeldDatabase(jet::Env& env) : env_(env), dirFd_(env), fd_(env), tempFd_(env) {}

void EnvHeldDatabase::raiseSystem(const jet::OsError& e, const std::string& path) const {
    raiseOsError(e, path);
}

void EnvHeldDatabase::take(jet::OwnedFile& file, const jet::OsResult<jet::FileHandle>& fd,
                           const std::string& path) {
    if (!fd.ok()) raiseSystem(fd.error, path);
    file.reset(fd.value);
}

void EnvHeldDatabase::hold(const std::string& path, const std::string& tempPath) {
    auto resolved = env_.realPath(path);
    if (!resolved.ok()) raiseSystem(resolved.error, path);
    real_ = resolved.value;
    folder_ = jet::folderOf(real_);
    name_ = jet::lastName(real_);
    tempName_ = temporaryName(path, tempPath);
    if (tempName_ == name_) sameAsDatabase(tempPath);
    take(dirFd_, env_.openFolder(folder_), folder_);
    take(fd_, env_.openIn(dirFd_.get(), name_, jet::OpenMode::kProbe), path);
    const auto start = env_.infoOfFile(fd_.get());
    if (!start.ok()) raiseSystem(start.error, path);
    start_ = start.value;
    if (start_.type != jet::FileType::kRegular)
        raise(kFileNotFound, "File not found ('" + path + "')");
    if (!sameFile(env_.infoOf(path, true), start_)) {
        raise(kPathFileAccessError,
              "Path/File access error: '" + path + "' was changed while it was opened; try again.");
    }
    checkHoldable(path);
    auto locked = jet::lockDatabase(fd_.get(), dirFd_.get(), real_, &env_);
    if (!locked) {
        throw RaisedError(
            ErrorRecord{locked.error().number, locked.error().description, locked.error().source});
    }
}

bool EnvHeldDatabase::temporaryExists() {
    if (tempName_.empty() || tempName_[0] == '.') return false;
    const auto st = env_.infoIn(dirFd_.get(), tempName_, true);
    return st.ok() && st.value.type == jet::FileType::kRegular;
}

void EnvHeldDatabase::removeTemporary() {
    if (tempFd_.get() != jet::kNoFile) {  // the copy of this run, if it is still at the name
        if (!sameFile(env_.infoIn(dirFd_.get(), tempName_, false), temp_)) {
            forgetTemporary();
            return;
        }
    } else {
        for (bool follow : {true, false}) {
            if (sameFile(env_.infoIn(dirFd_.get(), tempName_, follow), start_))
                sameAsDatabase(temporaryPath());
        }
    }
    const jet::OsError removed = env_.removeIn(dirFd_.get(), tempName_);
    if (removed && removed.code != jet::OsErrc::kNotFound) raiseSystem(removed, temporaryPath());
    forgetTemporary();
}

int EnvHeldDatabase::createTemporary() {
    const std::string temp = temporaryPath();
    const auto created = env_.openIn(dirFd_.get(), tempName_, jet::OpenMode::kCreateUpdate);
    if (!created.ok() && created.error.code == jet::OsErrc::kNoSpace)
        raise(kDiskFull, "There is not enough room on the disk to create '" + temp + "'.");
    take(tempFd_, created, temp);
    onSignal_.emplace(tempName_, dirFd_.get());
    const auto st = env_.infoOfFile(tempFd_.get());
    if (!st.ok()) raiseSystem(st.error, temp);
    temp_ = st.value;
    giveOwner();
    return tempFd_.get();
}

void EnvHeldDatabase::flushTemporary() {
    if (const jet::OsError e = env_.flush(tempFd_.get())) raiseSystem(e, temporaryPath());
}

bool EnvHeldDatabase::stillTheCopy() const {
    return sameFile(env_.infoIn(dirFd_.get(), tempName_, false), temp_);
}

void EnvHeldDatabase::checkUnchanged() {
    if (!sameFile(env_.infoIn(dirFd_.get(), name_, false), start_)) {
        removeTemporary();
        raise(kPathFileAccessError, "The name '" + real_ +
                                        "' no longer refers to the database that was "
                                        "compacted (it was renamed or replaced meanwhile); "
                                        "nothing was replaced.");
    }
    const auto now = env_.infoOfFile(fd_.get());
    if (!now.ok()) raiseSystem(now.error, real_);
    if (now.value.size != start_.size || now.value.modified != start_.modified ||
        now.value.changed != start_.changed) {
        removeTemporary();
        raise(kPathFileAccessError,
              "The database '" + real_ +
                  "' was changed by another program while it was compacted. It was left "
                  "as that program wrote it and the copy was removed; close the other "
                  "program and try again.");
    }
    if (!stillTheCopy()) {
        forgetTemporary();
        raise(kPathFileAccessError, "The temporary file '" + temporaryPath() +
                                        "' is no longer the copy this run wrote (it was "
                                        "renamed or replaced meanwhile); nothing was "
                                        "replaced.");
    }
}

std::string EnvHeldDatabase::replace(bool keepOriginal) {
    const std::string temp = temporaryPath();
    checkUnchanged();
    carryOver();
    if (const jet::OsError e = env_.flush(tempFd_.get())) raiseSystem(e, temp);
    std::string kept = keepOriginal ? keepBeside() : "";
    beforeRename();
    if (const jet::OsError e = env_.renameIn(dirFd_.get(), tempName_, name_)) {
        if (!kept.empty()) env_.removeIn(dirFd_.get(), jet::lastName(kept));
        raiseSystem(e, temp);
    }
    forgetTemporary();
    afterSwap();
    return kept;
}

// The temporary's name in the real file's folder: the real name with the
// suffix tempPath adds to path, or else tempPath's own name, which must then
// be beside path.
std::string EnvHeldDatabase::temporaryName(const std::string& path,
                                           const std::string& tempPath) const {
    if (tempPath.size() > path.size() && tempPath.compare(0, path.size(), path) == 0) {
        const std::string suffix = tempPath.substr(path.size());
        if (suffix.find_first_of(jet::kPathSeparators) == std::string::npos) return name_ + suffix;
    }
    const std::string tempName = jet::lastName(tempPath);
    if (jet::folderOf(tempPath) != jet::folderOf(path) || tempName.empty()) {
        raise(kPathFileAccessError, "Path/File access error: the temporary file '" + tempPath +
                                        "' must be beside the database '" + path + "'.");
    }
    return tempName;
}

void EnvHeldDatabase::sameAsDatabase(const std::string& temp) const {
    raise(kPathFileAccessError, "Path/File access error: the temporary file '" + temp +
                                    "' is the database itself ('" + real_ +
                                    "'), so it was not deleted. Give the database another "
                                    "name and try again.");
}

// Links the original under a free name saying what it is; a name too long
// to take the suffix is shortened first.
std::string EnvHeldDatabase::keepBeside() const {
    const std::string longest = ".damaged-1000";
    std::string base = name_;
    // Not known when the system cannot say: the name is then tried whole.
    const auto limit = env_.longestName(dirFd_.get());
    const std::size_t most = limit.ok() ? limit.value : 0;
    if (most > 0 && base.size() + longest.size() > most) {
        base.resize(most - longest.size());
        // No character cut in half: the last one goes if it lost bytes.
        std::size_t start = base.size();
        auto byte = [&](std::size_t i) { return static_cast<unsigned char>(base[i]); };
        while (start > 0 && (byte(start - 1) & 0xC0) == 0x80) --start;
        if (start > 0) {
            const unsigned char lead = byte(start - 1);
            const std::size_t length = lead < 0xC0 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            if (start - 1 + length > base.size()) base.resize(start - 1);
        }
    }
    for (int n = 1; n <= 1000; ++n) {
        const std::string name =
            base + ".damaged" + (n == 1 ? std::string() : "-" + std::to_string(n));
        const jet::OsError e = env_.linkIn(dirFd_.get(), name_, name);
        if (!e) return joined(name);
        if (e.code != jet::OsErrc::kExists) raiseSystem(e, joined(name));
    }
    raise(kFileAlreadyExists,
          "File already exists: no free name to keep the damaged "
          "original of '" +
              real_ + "' under.");
}

void EnvHeldDatabase::forgetTemporary() {
    onSignal_.reset();
    tempFd_.reset();
}

}  // namespace platform
