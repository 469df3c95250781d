// The steps of the in-place rewrite that are the same on every system.
#include "platform/HeldFiles.h"

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

EnvHeldDatabase::EnvHeldDatabase(jet::Env& env, const char* separators)
    : env_(env), dirFd_(env), fd_(env), tempFd_(env), separators_(separators) {}

void EnvHeldDatabase::raiseSystem(const jet::OsError& e, const std::string& path) const {
    raiseOsError(e, path);
}

void EnvHeldDatabase::take(HeldFile& file, const jet::OsResult<jet::FileHandle>& fd,
                           const std::string& path) {
    if (!fd.ok()) raiseSystem(fd.error, path);
    file.set(fd.value);
}

std::string EnvHeldDatabase::baseName(const std::string& path) const {
    std::size_t slash = path.find_last_of(separators_);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string EnvHeldDatabase::dirName(const std::string& path) const {
    std::size_t slash = path.find_last_of(separators_);
    if (slash == std::string::npos) return ".";
    // The root keeps its separator ("/", "C:\").
    if (slash == 0 || path[slash - 1] == ':') return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

std::string EnvHeldDatabase::joined(const std::string& name) const {
    const bool ends =
        !folder_.empty() && std::string(separators_).find(folder_.back()) != std::string::npos;
    return ends ? folder_ + name : folder_ + separators_[0] + name;
}

void EnvHeldDatabase::hold(const std::string& path, const std::string& tempPath) {
    auto resolved = env_.realPath(path);
    if (!resolved.ok()) raiseSystem(resolved.error, path);
    real_ = resolved.value;
    folder_ = dirName(real_);
    name_ = baseName(real_);
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
        if (!kept.empty()) env_.removeIn(dirFd_.get(), baseName(kept));
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
        if (suffix.find_first_of(separators_) == std::string::npos) return name_ + suffix;
    }
    if (dirName(tempPath) != dirName(path) || baseName(tempPath).empty()) {
        raise(kPathFileAccessError, "Path/File access error: the temporary file '" + tempPath +
                                        "' must be beside the database '" + path + "'.");
    }
    return baseName(tempPath);
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
    const std::size_t most = nameMax();
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
