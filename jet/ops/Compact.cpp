// The compaction's entry points: the source locked, the copy created,
// written, flushed and verified; on any failure the partial copy removed.
// A caller that holds the source locked and has created the copy hands both
// over open (jet/InPlace.h), and removes a failed copy itself.

#include "jet/Compact.h"

#include <cstring>
#include <exception>
#include <optional>

#include "format/Text.h"
#include "jet/InPlace.h"
#include "ops/repair/RepairCopy.h"
#include "os/Cleanup.h"
#include "os/Lock.h"
#include "os/Paths.h"
#include "read/Database.h"
#include "write/OutputFile.h"

namespace jet {

namespace {

// The copy's password as the header stores it; refused when it cannot be.
std::array<uint8_t, kPasswordBytes> copyPassword(const std::string& password) {
    std::array<uint8_t, kPasswordBytes> stored{};
    if (!encodePassword(password, stored)) {
        std::u16string units;
        fail(ErrorCode::kPasswordTooLong,
             utf8ToUtf16(password, units)
                 ? "The password is too long: at most 20 characters."
                 : "The password is not text (UTF-8): it cannot be stored in the copy.");
    }
    return stored;
}

// The destination the caller holds, which must be an empty file.
void requireEmptyHeld(Env& env, const CompactRequest& req) {
    const auto st = env.infoOfFile(req.destinationFd);
    if (!st.ok() || st.value.type != FileType::kRegular || st.value.size != 0) {
        fail(ErrorCode::kFileAccess,
             "The file '" + req.destinationPath + "' is not an empty file to write.");
    }
}

// Creates the destination, which must not exist yet (private until the copy
// is whole).
int createDestination(Env& env, const std::string& path) {
    if (pathExists(env, path))
        fail(ErrorCode::kDestinationExists, "The file '" + path + "' already exists.");
    const auto fd = env.open(path, OpenMode::kCreate);
    if (fd.ok()) return fd.value;
    if (fd.error.code == OsErrc::kExists)
        fail(ErrorCode::kDestinationExists, "The file '" + path + "' already exists.");
    if (fd.error.code == OsErrc::kNoSpace) {
        fail(ErrorCode::kNoSpace, "There is not enough room on the disk to create '" + path + "'.");
    }
    fail(ErrorCode::kFileAccess, "Cannot create '" + path + "': " + describe(fd.error) + ".");
}

// The destination this call created and must remove when the copy fails.
struct CreatedCopy {
    Env& env;
    const std::string& path;
    int fd = -1;  // open until the copy is written and closed
    bool created = false;

    // A failed copy removed; the result says so when it cannot be.
    Result<CompactResult> settle(Result<CompactResult> result) {
        if (fd >= 0) env.close(fd);
        if (result.ok() || !created) return result;
        const OsError removed = env.remove(path);
        if (!removed || removed.code == OsErrc::kNotFound) return result;
        Error e = result.error();
        e.description += " The partial copy '" + path + "' could not be removed.";
        return e;
    }
};

}  // namespace

Result<CompactResult> compactFile(const CompactRequest& req) {
    Env& env = envOr(req.env);
    CreatedCopy mine{env, req.destinationPath};
    auto result = guard([&]() -> CompactResult {
        OpenDamage found;
        // What would refuse the copy anyway is said before a search for a
        // lost key, which takes minutes.
        if (req.destinationFd < 0 && pathExists(env, req.destinationPath))
            fail(ErrorCode::kDestinationExists,
                 "The file '" + req.destinationPath + "' already exists.");
        const KeyRecovery recovery{req.lostKey.key, true, req.lostKey.range, req.lostKey.watch};
        auto db = Database::openDamaged(env, req.sourcePath, req.sourcePassword, found,
                                        req.sourceFd, recovery);
        // After the source's own password was checked: one that is not text
        // is not that database's password, whatever its length.
        const auto newPassword = copyPassword(req.destinationPassword);
        // A source the caller holds is locked already, by the caller.
        if (req.sourceFd < 0) lockForCompaction(env, db->file().fd(), req.sourcePath);
        int fd = req.destinationFd;
        if (fd >= 0) {
            requireEmptyHeld(env, req);
        } else {
            fd = mine.fd = createDestination(env, req.destinationPath);
            mine.created = true;
        }
        // A copy the caller holds is the caller's to remove when interrupted.
        std::optional<RemoveOnSignal> removeOnSignal;
        if (mine.created) removeOnSignal.emplace(req.destinationPath);
        CompactResult r = compactOrRepair(env, *db, fd, req, newPassword, found);
        if (mine.created) {
            if (OsError e = env.close(std::exchange(mine.fd, -1))) {
                fail(ErrorCode::kIo,
                     "Cannot write '" + req.destinationPath + "': " + describe(e) + ".");
            }
        }
        return r;
    });
    return mine.settle(std::move(result));
}

Result<RepairSummary> CompactDatabase(const std::string& sourceConnection,
                                      const std::string& destinationConnection) {
    return CompactDatabase(sourceConnection, destinationConnection, HeldFiles{});
}

}  // namespace jet
