// The compaction's entry points: the source locked, the copy created,
// written, flushed and verified; on any failure the partial copy removed.
// A caller that holds the source locked and has created the copy hands both
// over open (jet/InPlace.h), and removes a failed copy itself.

#include <chrono>
#include <cstring>
#include <exception>
#include <optional>

#include "format/Text.h"
#include "jet/Compact.h"
#include "jet/InPlace.h"
#include "ops/ConnectionString.h"
#include "ops/compact/Compactor.h"
#include "ops/compact/EarlyChecks.h"
#include "ops/compact/Verify.h"
#include "ops/repair/RepairPlan.h"
#include "os/Cleanup.h"
#include "os/LargeArray.h"
#include "os/Lock.h"
#include "os/Paths.h"
#include "read/Database.h"
#include "util/Background.h"
#include "write/OutputFile.h"

namespace jet {

namespace {

// Each table of the copy checked as it is written, its rows as they come.
void checkAsWritten(Compactor& c, EarlyChecks& early) {
    c.onTableWritten([&](const CatalogEntry& table, std::map<uint32_t, std::vector<uint32_t>> maps,
                         uint64_t ticket) { early.add(table, std::move(maps), ticket); });
    c.onRowsWritten([&](const CatalogEntry& table, std::shared_ptr<const TableDef> layout,
                        std::vector<uint32_t> pages, uint64_t ticket) {
        early.addRows(table, std::move(layout), std::move(pages), ticket);
    });
    c.onIndexWritten([&](const CatalogEntry& table, std::size_t i, uint32_t root, uint64_t ticket) {
        early.addIndex(table, i, root, ticket);
    });
}

// Writes the whole copy into fd (empty) and checks it: the tables the
// repair chose, or (none) those the catalogue lists.
CompactResult writeCopy(Env& env, Database& db, int fd, const CompactRequest& req,
                        const std::array<uint8_t, kPasswordBytes>& newPassword,
                        RepairPlan* repair) {
    auto started = std::chrono::steady_clock::now();
    auto lap = [&] {
        auto now = std::chrono::steady_clock::now();
        double s = std::chrono::duration<double>(now - started).count();
        started = now;
        return s;
    };
    OutputFile out(env, fd, db.header().databaseKey, req.destinationPath);
    Compactor c(db, out, newPassword, req.memoryBudget);
    if (repair) c.setTables(repair->tables(), repair->gone());
    // Each thread that checks sorts within half the check's share.
    CheckOptions checks;
    checks.sortMemory = c.shares().check / 2;
    checks.spill = SpillFolders::near(env, req.destinationPath);
    EarlyChecks early(env, req.destinationPath, req.destinationPassword, req.destinationFd, checks,
                      &out);
    if (req.verify) checkAsWritten(c, early);
    c.prepare();
    early.keepBefore(c.firstDataPage());
    // The copy, with a tenth to spare.
    const uint64_t pages = c.estimatePages();
    requireRoom(env, req.destinationPath, pages * kPageSize + pages * kPageSize / 10, fd);
    CompactResult r = c.run();
    out.flush();
    r.copySeconds = lap();
    // Every page is written: the copy goes to disk while it is checked
    // (the check reads what was written). Both must succeed.
    const auto flushStart = std::chrono::steady_clock::now();
    auto flushed = flushStart;
    Background flusher;
    flusher.start([&] {
        out.fsync();
        flushed = std::chrono::steady_clock::now();
    });
    if (req.verify)
        verifyCopy(env, req.destinationPath, req.destinationPassword, req.destinationFd,
                   c.expected(), early.finish(), checks);
    r.verifySeconds = lap();
    flusher.wait();
    r.flushSeconds = std::chrono::duration<double>(flushed - flushStart).count();
    if (repair) r.repair = repair->summary();
    return r;
}

// Damage in the source, or a copy that fails its check because of it: a
// repair reads the damaged tables with the salvage reader instead.
bool repairable(const Error& e) {
    return e.code() == ErrorCode::kDamaged || e.code() == ErrorCode::kVerifyFailed;
}

// After the plain compaction stopped on damage (or where opening the file
// had to work around it): the copy written again, with a repair plan, from
// an empty file.
CompactResult repairCopy(Env& env, Database& db, int fd, const CompactRequest& req,
                         const std::array<uint8_t, kPasswordBytes>& newPassword,
                         const JetException& stopped, const OpenDamage& found) {
    RepairPlan plan(db, stopped.error());
    if (found.headerRebuilt) plan.logFileDamage(headerLost());
    if (found.keyFound) plan.logFileDamage(keyFound());
    if (found.passwordLost) plan.logFileDamage(passwordLost());
    if (found.bytesCut != 0) plan.logFileDamage(fileCut(found.bytesCut));
    const bool fileDamaged = found.any();
    if (!plan.make() && !fileDamaged) throw stopped;  // nothing in the source to repair
    if (OsError e = env.setSize(fd, 0)) {
        fail(ErrorCode::kIo, "Cannot write '" + req.destinationPath + "': " + describe(e) + ".");
    }
    CompactResult r = writeCopy(env, db, fd, req, newPassword, &plan);
    r.repair.headerRebuilt = found.headerRebuilt;
    return r;
}

}  // namespace

std::string headerLost() {
    return "Page 0, the database header, was damaged and is made anew: the password is the one "
           "the compaction was given; the code page (1252) and the sort order come from the "
           "catalogue or the engine's defaults; the creation date, the header's unknown fields "
           "and the key that masks the security identifiers of the permissions and owners are "
           "lost with it.";
}

std::string keyFound() {
    return "Page 0, the database header, held a damaged key for the encoding of the pages: the "
           "key under which they read was found again, and the copy's header holds it.";
}

std::string passwordLost() {
    return "Page 0, the database header, held a damaged password field: the copy has the password "
           "the compaction was given; the key that masks the security identifiers of the "
           "permissions and owners may be lost with the old field.";
}

std::string fileCut(uint64_t bytes) {
    return "The file ends " + std::to_string(bytes) +
           " bytes into a page: it was cut short, and what lay past the cut is lost (the part "
           "of that page that is left is not read).";
}

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

// The plain compaction, and the repair where it stops on damage (or where
// opening the source had to work around it).
CompactResult compactOrRepair(Env& env, Database& db, int fd, const CompactRequest& req,
                              const std::array<uint8_t, kPasswordBytes>& newPassword,
                              const OpenDamage& found) {
    if (found.any()) {
        return repairCopy(env, db, fd, req, newPassword,
                          JetException(makeError(ErrorCode::kDamaged, "")), found);
    }
    try {
        return writeCopy(env, db, fd, req, newPassword, nullptr);
    } catch (const JetException& e) {
        if (!repairable(e.error())) throw;
        return repairCopy(env, db, fd, req, newPassword, e, found);
    }
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
        auto db =
            Database::openDamaged(env, req.sourcePath, req.sourcePassword, found, req.sourceFd);
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

Result<RepairSummary> CompactDatabase(const std::string& sourceConnection,
                                      const std::string& destinationConnection,
                                      const HeldFiles& held, Env* env) {
    auto src = parseConnectionString(sourceConnection);
    if (!src) return src.error();
    auto dst = parseConnectionString(destinationConnection);
    if (!dst) return dst.error();
    CompactRequest req;
    req.sourcePath = src->dataSource;
    req.sourcePassword = src->password.value_or("");
    req.destinationPath = dst->dataSource;
    req.destinationPassword = dst->password.value_or("");
    req.sourceFd = held.source;
    req.destinationFd = held.destination;
    req.env = env;
    auto r = compactFile(req);
    if (!r) return r.error();
    return r->repair;
}

void keepLargeBlocks() { keepFreedBlocks(); }

}  // namespace jet
