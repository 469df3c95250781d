// The compaction's entry points: the source locked, the copy created,
// written, flushed and verified; on any failure the partial copy removed.
// A caller that holds the source locked and has created the copy hands both
// over open (jet/InPlace.h), and removes a failed copy itself.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <thread>

#include "format/Text.h"
#include "jet/Compact.h"
#include "jet/InPlace.h"
#include "ops/ConnectionString.h"
#include "ops/compact/Compactor.h"
#include "ops/compact/EarlyChecks.h"
#include "ops/compact/Verify.h"
#include "ops/repair/RepairPlan.h"
#include "os/Cleanup.h"
#include "os/FileIo.h"
#include "os/Lock.h"
#include "os/Paths.h"
#include "read/Database.h"
#include "write/OutputFile.h"

namespace jet {

namespace {

// Writes the whole copy into fd (empty) and checks it: the tables the
// repair chose, or (none) those the catalogue lists.
CompactResult writeCopy(Database& db, int fd, const CompactRequest& req,
                        const std::array<uint8_t, kPasswordBytes>& newPassword,
                        RepairPlan* repair) {
    auto started = std::chrono::steady_clock::now();
    auto lap = [&] {
        auto now = std::chrono::steady_clock::now();
        double s = std::chrono::duration<double>(now - started).count();
        started = now;
        return s;
    };
    OutputFile out(fd, db.header().databaseKey, req.destinationPath);
    Compactor c(db, out, newPassword, req.memoryBudget);
    if (repair) c.setTables(repair->tables(), repair->gone());
    // Each thread that checks sorts within half the check's share.
    CheckOptions checks;
    checks.sortMemory = c.shares().check / 2;
    checks.spill = SpillFolders::near(req.destinationPath);
    EarlyChecks early(req.destinationPath, req.destinationPassword, req.destinationFd, checks,
                      &out);
    if (req.verify) {
        c.onTableWritten([&](const CatalogEntry& table,
                             std::map<uint32_t, std::vector<uint32_t>> maps,
                             uint64_t ticket) { early.add(table, std::move(maps), ticket); });
        c.onRowsWritten([&](const CatalogEntry& table, std::shared_ptr<const TableDef> layout,
                            std::vector<uint32_t> pages, uint64_t ticket) {
            early.addRows(table, std::move(layout), std::move(pages), ticket);
        });
        c.onIndexWritten([&](const CatalogEntry& table, std::size_t i, uint32_t root,
                             uint64_t ticket) { early.addIndex(table, i, root, ticket); });
    }
    c.prepare();
    early.keepBefore(c.firstDataPage());
    // The copy, with a tenth to spare.
    const uint64_t pages = c.estimatePages();
    requireRoom(req.destinationPath, pages * kPageSize + pages * kPageSize / 10, fd);
    CompactResult r = c.run();
    out.flush();
    r.copySeconds = lap();
    // Every page is written: the copy goes to disk while it is checked
    // (the check reads what was written). Both must succeed.
    std::exception_ptr flushFailed;
    const auto flushStart = std::chrono::steady_clock::now();
    auto flushed = flushStart;
    std::thread flusher([&] {
        try {
            out.fsync();
        } catch (...) {
            flushFailed = std::current_exception();
        }
        flushed = std::chrono::steady_clock::now();
    });
    try {
        if (req.verify)
            verifyCopy(req.destinationPath, req.destinationPassword, req.destinationFd,
                       c.expected(), early.finish(), checks);
    } catch (...) {
        flusher.join();
        throw;
    }
    r.verifySeconds = lap();
    flusher.join();
    if (flushFailed) std::rethrow_exception(flushFailed);
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
CompactResult repairCopy(Database& db, int fd, const CompactRequest& req,
                         const std::array<uint8_t, kPasswordBytes>& newPassword,
                         const JetException& stopped, const OpenDamage& found) {
    RepairPlan plan(db, stopped.error());
    if (found.headerRebuilt) plan.logFileDamage(headerLost());
    if (found.keyFound) plan.logFileDamage(keyFound());
    if (found.passwordLost) plan.logFileDamage(passwordLost());
    if (found.bytesCut != 0) plan.logFileDamage(fileCut(found.bytesCut));
    const bool fileDamaged = found.any();
    if (!plan.make() && !fileDamaged) throw stopped;  // nothing in the source to repair
    if (fileIo().ftruncate(fd, 0) != 0) {
        fail(ErrorCode::kIo,
             "Cannot write '" + req.destinationPath + "': " + std::strerror(errno) + ".");
    }
    CompactResult r = writeCopy(db, fd, req, newPassword, &plan);
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

Result<CompactResult> compactFile(const CompactRequest& req) {
    int fd = -1;
    bool created = false;
    auto result = guard([&]() -> CompactResult {
        OpenDamage found;
        auto db = Database::openDamaged(req.sourcePath, req.sourcePassword, found, req.sourceFd);
        // After the source's own password was checked: one that is not text
        // is not that database's password, whatever its length.
        std::array<uint8_t, kPasswordBytes> newPassword{};
        if (!encodePassword(req.destinationPassword, newPassword)) {
            std::u16string units;
            fail(ErrorCode::kPasswordTooLong,
                 utf8ToUtf16(req.destinationPassword, units)
                     ? "The password is too long: at most 20 characters."
                     : "The password is not text (UTF-8): it cannot be stored in the copy.");
        }
        // A source the caller holds is locked already, by the caller.
        if (req.sourceFd < 0) lockForCompaction(db->file().fd(), req.sourcePath);
        if (req.destinationFd >= 0) {
            struct stat st {};
            if (::fstat(req.destinationFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) {
                fail(ErrorCode::kFileAccess,
                     "The file '" + req.destinationPath + "' is not an empty file to write.");
            }
            fd = req.destinationFd;
        } else if (pathExists(req.destinationPath)) {
            fail(ErrorCode::kDestinationExists,
                 "The file '" + req.destinationPath + "' already exists.");
        }
        if (fd < 0)
            fd = fileIo().open(req.destinationPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                               0600);
        if (fd < 0) {
            int err = errno;
            if (err == EEXIST) {
                fail(ErrorCode::kDestinationExists,
                     "The file '" + req.destinationPath + "' already exists.");
            }
            if (err == ENOSPC || err == EDQUOT) {
                fail(ErrorCode::kNoSpace, "There is not enough room on the disk to create '" +
                                              req.destinationPath + "'.");
            }
            fail(ErrorCode::kFileAccess,
                 "Cannot create '" + req.destinationPath + "': " + std::strerror(err) + ".");
        }
        created = req.destinationFd < 0;
        // A copy the caller holds is the caller's to remove when interrupted.
        std::optional<RemoveOnSignal> removeOnSignal;
        if (created) removeOnSignal.emplace(req.destinationPath);
        CompactResult r;
        if (found.any()) {
            r = repairCopy(*db, fd, req, newPassword,
                           JetException(makeError(ErrorCode::kDamaged, "")), found);
        } else {
            try {
                r = writeCopy(*db, fd, req, newPassword, nullptr);
            } catch (const JetException& e) {
                if (!repairable(e.error())) throw;
                r = repairCopy(*db, fd, req, newPassword, e, found);
            }
        }
        const int closing = fd;
        fd = -1;
        if (req.destinationFd < 0 && fileIo().close(closing) != 0) {
            fail(ErrorCode::kIo,
                 "Cannot write '" + req.destinationPath + "': " + std::strerror(errno) + ".");
        }
        return r;
    });
    if (fd >= 0 && req.destinationFd < 0) fileIo().close(fd);
    if (!result.ok() && created && fileIo().unlink(req.destinationPath.c_str()) != 0 &&
        errno != ENOENT) {
        Error e = result.error();
        e.description += " The partial copy '" + req.destinationPath + "' could not be removed.";
        return e;
    }
    return result;
}

Result<RepairSummary> CompactDatabase(const std::string& sourceConnection,
                                      const std::string& destinationConnection) {
    return CompactDatabase(sourceConnection, destinationConnection, HeldFiles{});
}

Result<RepairSummary> CompactDatabase(const std::string& sourceConnection,
                                      const std::string& destinationConnection,
                                      const HeldFiles& held) {
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
    auto r = compactFile(req);
    if (!r) return r.error();
    return r->repair;
}

void keepLargeBlocks() {
    // A compaction allocates and frees index trees of tens of megabytes,
    // table after table. By default glibc hands such blocks back to the
    // system at once and the next table faults them in again page by page.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc accepts on 64-bit systems
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
}

}  // namespace jet
