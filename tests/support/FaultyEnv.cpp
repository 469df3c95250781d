#include "support/FaultyEnv.h"

#include <string_view>
#include <type_traits>

namespace testsupport {

using jet::FileInfo;
using jet::OsError;
using jet::OsResult;

namespace {
jet::Env& real() { return jet::Env::standard(); }
}  // namespace

bool FaultyEnv::hit(const char* kind) {
    std::lock_guard<std::mutex> lock(mutex_);  // the engine calls from several threads
    if (onlyKind_ && std::string_view(kind) != onlyKind_) return false;
    ++count_;
    if (failAt_ == 0) kinds_.emplace_back(kind);
    if (failAt_ != 0 && count_ == failAt_) {
        failedKind_ = kind;
        return true;
    }
    return false;
}

template <typename Call>
auto FaultyEnv::faulted(const char* kind, Call call) -> decltype(call()) {
    using R = decltype(call());
    if (!hit(kind)) return call();
    if constexpr (std::is_same_v<R, OsError>) {
        return error();
    } else {
        R failed{};
        failed.error = error();
        return failed;
    }
}

OsResult<FaultyEnv::Handle> FaultyEnv::open(const std::string& path, jet::OpenMode mode) {
    return faulted("open", [&] { return real().open(path, mode); });
}
OsResult<FaultyEnv::Handle> FaultyEnv::openIn(Handle folder, const std::string& name,
                                              jet::OpenMode mode) {
    return faulted("open", [&] { return real().openIn(folder, name, mode); });
}
OsResult<FaultyEnv::Handle> FaultyEnv::openTemporary(const std::string& folder) {
    return faulted("open", [&] { return real().openTemporary(folder); });
}
OsError FaultyEnv::remove(const std::string& path) {
    return faulted("delete", [&] { return real().remove(path); });
}
OsResult<FileInfo> FaultyEnv::infoOf(const std::string& path, bool followLink) {
    return faulted("stat", [&] { return real().infoOf(path, followLink); });
}
OsResult<FileInfo> FaultyEnv::infoIn(Handle folder, const std::string& name, bool followLink) {
    return faulted("stat", [&] { return real().infoIn(folder, name, followLink); });
}
OsResult<uint64_t> FaultyEnv::freeSpace(const std::string& path) {
    return faulted("stat", [&] { return real().freeSpace(path); });
}
OsResult<std::size_t> FaultyEnv::readAt(Handle file, void* buf, std::size_t n, uint64_t offset) {
    return faulted("read", [&] { return real().readAt(file, buf, n, offset); });
}
OsResult<std::size_t> FaultyEnv::readPartsAt(Handle file, const jet::Buffer* parts, int count,
                                             uint64_t offset) {
    return faulted("read", [&] { return real().readPartsAt(file, parts, count, offset); });
}

OsResult<std::size_t> FaultyEnv::writeAt(Handle file, const void* buf, std::size_t n,
                                         uint64_t offset) {
    if (shortPending_.exchange(false)) return {0, error()};
    if (hit("write")) {
        if (mode_ == Mode::kShortWrite && n > 1) {
            shortPending_ = true;
            return real().writeAt(file, buf, n / 2, offset);
        }
        return {0, error()};
    }
    return real().writeAt(file, buf, n, offset);
}

OsError FaultyEnv::flush(Handle file) {
    return faulted("flush", [&] { return real().flush(file); });
}
OsError FaultyEnv::startWriteBack(Handle file) {
    return faulted("flush", [&] { return real().startWriteBack(file); });
}
OsError FaultyEnv::dropCached(Handle file, uint64_t offset, uint64_t length) {
    return faulted("advise", [&] { return real().dropCached(file, offset, length); });
}
OsError FaultyEnv::setSize(Handle file, uint64_t size) {
    return faulted("truncate", [&] { return real().setSize(file, size); });
}
OsResult<FileInfo> FaultyEnv::infoOfFile(Handle file) {
    return faulted("stat", [&] { return real().infoOfFile(file); });
}
OsResult<uint64_t> FaultyEnv::freeSpaceOfFile(Handle file) {
    return faulted("stat", [&] { return real().freeSpaceOfFile(file); });
}
OsResult<FaultyEnv::Handle> FaultyEnv::duplicate(Handle file) {
    return faulted("open", [&] { return real().duplicate(file); });
}
OsError FaultyEnv::close(Handle file) {
    if (hit("close")) {
        real().close(file);  // the file is closed either way, as with a real failing close
        return error();
    }
    return real().close(file);
}
OsResult<jet::LockHolder> FaultyEnv::lockOfOthers(Handle file, const jet::LockRange& r) {
    return faulted("lock", [&] { return real().lockOfOthers(file, r); });
}
OsError FaultyEnv::lockRange(Handle file, const jet::LockRange& range) {
    return faulted("lock", [&] { return real().lockRange(file, range); });
}
OsError FaultyEnv::lockAlone(Handle file) {
    return faulted("lock", [&] { return real().lockAlone(file); });
}
OsResult<std::string> FaultyEnv::realPath(const std::string& path) {
    return faulted("stat", [&] { return real().realPath(path); });
}
OsResult<FaultyEnv::Handle> FaultyEnv::openFolder(const std::string& path) {
    return faulted("open", [&] { return real().openFolder(path); });
}
OsError FaultyEnv::removeIn(Handle folder, const std::string& name) {
    return faulted("delete", [&] { return real().removeIn(folder, name); });
}
OsError FaultyEnv::renameIn(Handle folder, const std::string& from, const std::string& to) {
    return faulted("rename", [&] { return real().renameIn(folder, from, to); });
}
OsError FaultyEnv::linkIn(Handle folder, const std::string& from, const std::string& to) {
    return faulted("link", [&] { return real().linkIn(folder, from, to); });
}
OsError FaultyEnv::setOwner(Handle file, uint32_t owner, uint32_t group) {
    return faulted("owner", [&] { return real().setOwner(file, owner, group); });
}
OsError FaultyEnv::setPermissions(Handle file, uint32_t permissions) {
    return faulted("owner", [&] { return real().setPermissions(file, permissions); });
}

OsResult<jet::FileFlags> FaultyEnv::fileFlags(Handle file) {
    return faulted("flags", [&] { return real().fileFlags(file); });
}
OsError FaultyEnv::mayWrite(Handle folder, const std::string& name) {
    return faulted("access", [&] { return real().mayWrite(folder, name); });
}
OsResult<bool> FaultyEnv::isMountRoot(Handle file) {
    return faulted("mount", [&] { return real().isMountRoot(file); });
}
OsResult<std::size_t> FaultyEnv::longestName(Handle folder) {
    return faulted("name", [&] { return real().longestName(folder); });
}
OsResult<std::vector<std::string>> FaultyEnv::attributeNames(Handle file) {
    return faulted("attribute", [&] { return real().attributeNames(file); });
}
OsResult<std::string> FaultyEnv::attribute(Handle file, const std::string& name) {
    return faulted("attribute", [&] { return real().attribute(file, name); });
}
OsError FaultyEnv::setAttribute(Handle file, const std::string& name, const std::string& text) {
    return faulted("attribute", [&] { return real().setAttribute(file, name, text); });
}
OsError FaultyEnv::removeAttribute(Handle file, const std::string& name) {
    return faulted("attribute", [&] { return real().removeAttribute(file, name); });
}

}  // namespace testsupport
