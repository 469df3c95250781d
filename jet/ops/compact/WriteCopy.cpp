// A compaction's copy: written into a file the caller has created, flushed,
// and checked as it is written and once whole.
#include "ops/compact/WriteCopy.h"

#include <chrono>

#include "ops/compact/Compactor.h"
#include "ops/compact/EarlyChecks.h"
#include "ops/compact/Verify.h"
#include "os/Paths.h"
#include "util/Background.h"
#include "write/OutputFile.h"

namespace jet {

CompactResult writeCopy(Env& env, Database& db, int fd, const CompactRequest& req,
                        const std::array<uint8_t, kPasswordBytes>& newPassword,
                        const ChosenTables* chosen) {
    auto started = std::chrono::steady_clock::now();
    auto lap = [&] {
        auto now = std::chrono::steady_clock::now();
        double s = std::chrono::duration<double>(now - started).count();
        started = now;
        return s;
    };
    OutputFile out(env, fd, db.header().databaseKey, req.destinationPath);
    Compactor c(db, out, newPassword, req.memoryBudget);
    if (chosen) c.setTables(chosen->tables, chosen->gone);
    // Each thread that checks sorts within half the check's share.
    CheckOptions checks;
    checks.sortMemory = c.shares().check / 2;
    checks.spill = SpillFolders::near(env, req.destinationPath);
    EarlyChecks early(env, req.destinationPath, req.destinationPassword, req.destinationFd, checks,
                      &out);
    // Each table of the copy checked as it is written, its rows as they come.
    if (req.verify) c.tell(&early);
    c.watch(req.watch);
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
    return r;
}

}  // namespace jet
