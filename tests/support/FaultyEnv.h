// An Env that fails the n-th call (1-based, counted over all kinds) with an
// error, or, for a write, writes half and fails the next write. Counts calls
// when n is 0, so a test can learn how many there are and of which kind.
// The kinds: "open", "delete", "stat", "read", "write", "flush", "advise",
// "truncate", "close", "lock", "rename", "link", "owner", and the in-place
// swap's checks "flags" (immutable, append-only), "access" (may this user
// write), "mount" (a file mounted over its name), "name" (the longest name)
// and "attribute" (extended attributes: list, get, set, remove).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "jet/Env.h"

namespace testsupport {

class FaultyEnv : public jet::Env {
  public:
    enum class Mode { kFail, kShortWrite };
    // With onlyKind ("write", "read", ...), only calls of that kind are
    // counted: the n-th write, say, whatever other threads read meanwhile.
    explicit FaultyEnv(long failAt = 0, jet::OsErrc err = jet::OsErrc::kIo, Mode mode = Mode::kFail,
                       const char* onlyKind = nullptr)
        : failAt_(failAt), err_(err), mode_(mode), onlyKind_(onlyKind) {}

    using Handle = jet::FileHandle;
    jet::OsResult<Handle> open(const std::string& path, jet::OpenMode mode) override;
    jet::OsResult<Handle> openIn(Handle folder, const std::string& name,
                                 jet::OpenMode mode) override;
    jet::OsResult<Handle> openTemporary(const std::string& folder) override;
    jet::OsError remove(const std::string& path) override;
    jet::OsResult<jet::FileInfo> infoOf(const std::string& path, bool followLink) override;
    jet::OsResult<jet::FileInfo> infoIn(Handle folder, const std::string& name,
                                        bool followLink) override;
    jet::OsResult<uint64_t> freeSpace(const std::string& path) override;
    jet::OsResult<std::size_t> readAt(Handle file, void* buf, std::size_t n,
                                      uint64_t offset) override;
    jet::OsResult<std::size_t> readPartsAt(Handle file, const jet::Buffer* parts, int count,
                                           uint64_t offset) override;
    jet::OsResult<std::size_t> writeAt(Handle file, const void* buf, std::size_t n,
                                       uint64_t offset) override;
    jet::OsError flush(Handle file) override;
    jet::OsError startWriteBack(Handle file) override;
    jet::OsError dropCached(Handle file, uint64_t offset, uint64_t length) override;
    jet::OsError setSize(Handle file, uint64_t size) override;
    jet::OsResult<jet::FileInfo> infoOfFile(Handle file) override;
    jet::OsResult<uint64_t> freeSpaceOfFile(Handle file) override;
    jet::OsResult<Handle> duplicate(Handle file) override;
    jet::OsError close(Handle file) override;
    jet::OsResult<jet::LockHolder> lockOfOthers(Handle file, const jet::LockRange& r) override;
    jet::OsError lockRange(Handle file, const jet::LockRange& range) override;
    jet::OsError lockAlone(Handle file) override;
    jet::OsResult<std::string> realPath(const std::string& path) override;
    jet::OsResult<Handle> openFolder(const std::string& path) override;
    jet::OsError removeIn(Handle folder, const std::string& name) override;
    jet::OsError renameIn(Handle folder, const std::string& from, const std::string& to) override;
    jet::OsError linkIn(Handle folder, const std::string& from, const std::string& to) override;
    jet::OsError setOwner(Handle file, uint32_t owner, uint32_t group) override;
    jet::OsError setPermissions(Handle file, uint32_t permissions) override;
    jet::OsResult<jet::FileFlags> fileFlags(Handle file) override;
    jet::OsError mayWrite(Handle folder, const std::string& name) override;
    jet::OsResult<bool> isMountRoot(Handle file) override;
    jet::OsResult<std::size_t> longestName(Handle folder) override;
    jet::OsResult<std::vector<std::string>> attributeNames(Handle file) override;
    jet::OsResult<std::string> attribute(Handle file, const std::string& name) override;
    jet::OsError setAttribute(Handle file, const std::string& name,
                              const std::string& text) override;
    jet::OsError removeAttribute(Handle file, const std::string& name) override;

    // The system's number the failure carries (errno, or GetLastError()), as
    // a real one would; 0, as made up, unless set.
    void failWithSystemNumber(int system) { system_ = system; }

    long count() const { return count_; }
    // When only counting: the kind of every call, in order.
    const std::vector<std::string>& kinds() const { return kinds_; }
    // The kind of the call that failed ("" when none did).
    const std::string& failedKind() const { return failedKind_; }

  private:
    bool hit(const char* kind);
    jet::OsError error() const { return jet::OsError{err_, system_}; }
    // Fails the call when it is the one to fail, else makes it.
    template <typename Call>
    auto faulted(const char* kind, Call call) -> decltype(call());

    std::mutex mutex_;
    long failAt_;
    jet::OsErrc err_;
    Mode mode_;
    const char* onlyKind_;
    int system_ = 0;
    long count_ = 0;
    std::atomic<bool> shortPending_{false};  // writes come from several threads
    std::string failedKind_;
    std::vector<std::string> kinds_;
};

}  // namespace testsupport
