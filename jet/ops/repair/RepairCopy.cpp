// The compaction that repairs: the plain compaction first, and where it
// stops on damage (or where opening the source had to work around it) the
// copy written again with a repair plan.
#include "ops/repair/RepairCopy.h"

#include <cstdio>
#include <optional>

#include "ops/compact/WriteCopy.h"
#include "ops/repair/RepairPlan.h"
#include "util/Failure.h"

namespace jet {

namespace {

// Damage in the source, or a copy that fails its check because of it: a
// repair reads the damaged tables with the salvage reader instead.
bool repairable(const Error& e) {
    return e.code() == ErrorCode::kDamaged || e.code() == ErrorCode::kVerifyFailed;
}

// The repair's pass, told to the caller's watch as such.
class RepairPass : public CompactWatch {
  public:
    explicit RepairPass(CompactWatch& watch) : watch_(watch) {}
    void progress(const CompactProgress& p) override {
        CompactProgress repairing = p;
        repairing.repairing = true;
        watch_.progress(repairing);
    }

  private:
    CompactWatch& watch_;
};

// After the plain compaction stopped on damage (stopped), or where opening
// the file had to work around it: the copy written again, with a repair
// plan, from an empty file.
CompactResult repairCopy(Env& env, Database& db, int fd, const CompactRequest& req,
                         const std::array<uint8_t, kPasswordBytes>& newPassword,
                         const JetException* stopped, const OpenDamage& found) {
    // The tables are read for their damage before the repair's pass can
    // count its pages: told as a pass of nothing, so that what was drawn of
    // the plain one does not stand meanwhile.
    if (req.watch) req.watch->progress({0, 0, 0, true});
    RepairPlan plan(db, stopped ? &stopped->error() : nullptr);
    if (found.headerRebuilt) plan.logFileDamage(headerLost());
    if (found.keyFound) plan.logFileDamage(keyFound());
    if (found.keySearched || (found.keyGiven && found.headerRebuilt))
        plan.logFileDamage(keyHadAgain(found));
    if (found.passwordLost) plan.logFileDamage(passwordLost());
    for (const std::string& text : headerFieldsRepaired(found)) plan.logFileDamage(text);
    if (found.bytesCut != 0) plan.logFileDamage(fileCut(found.bytesCut));
    if (!found.transform.empty()) plan.logFileDamage(fileTransformed(found.transform));
    const bool fileDamaged = found.any();
    // Nothing in the source to repair: what stopped the compaction stands.
    if (!plan.make() && !fileDamaged && stopped) throw *stopped;
    if (OsError e = env.setSize(fd, 0)) {
        fail(ErrorCode::kIo, "Cannot write '" + req.destinationPath + "': " + describe(e) + ".");
    }
    const ChosenTables chosen{plan.tables(), plan.gone()};
    CompactRequest again = req;
    std::optional<RepairPass> pass;
    if (req.watch) again.watch = &pass.emplace(*req.watch);
    CompactResult r = writeCopy(env, db, fd, again, newPassword, &chosen);
    r.repair = plan.summary();
    r.repair.headerRebuilt = found.headerRebuilt;
    r.repair.keySearched = found.keySearched;
    r.repair.keyRecovered = found.keySearched || found.keyGiven || found.keyFound;
    r.repair.databaseKey = r.repair.keyRecovered ? found.key : 0;
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

std::string keyHadAgain(const OpenDamage& found) {
    const std::string key = keyText(found.key);
    return std::string(
               "Page 0, the database header, was lost with the key its pages are encoded "
               "with: ") +
           (found.keySearched ? "every key was tried, and the one under which they read (" + key +
                                    ") was found again"
                              : "the key given (" + key + ") reads them") +
           "; the copy's header holds it.";
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

std::vector<std::string> headerFieldsRepaired(const OpenDamage& found) {
    std::vector<std::string> out;
    if (found.versionRepaired) {
        out.push_back("Page 0, the database header, named format version " +
                      std::to_string(found.versionWas) +
                      ", though the pages are a Jet 4 database's: it is read as Jet 4, and the "
                      "copy's header says so.");
    }
    if (found.dateRepaired) {
        out.push_back(
            "Page 0, the database header, held a damaged creation date: the mask its password "
            "field shows gave the date's whole days again, and the password was checked "
            "against it; the time of day is lost.");
    }
    if (found.codePageRepaired) {
        out.push_back("Page 0, the database header, held code page " +
                      std::to_string(found.codePageWas) +
                      ", which no Jet 4 database has: the copy takes the code page of its sort "
                      "order's language.");
    }
    if (found.sortOrderRepaired) {
        char was[16];
        std::snprintf(was, sizeof was, "%08X", found.sortOrderWas);
        out.push_back(std::string("Page 0, the database header, held the default sort order ") +
                      was +
                      ", which no Jet 4 database has: the copy takes the sort order the "
                      "catalogue's columns declare.");
    }
    return out;
}

std::string fileTransformed(const std::string& what) {
    return "The file was changed as a whole: " + what + ". Its pages were read where they now lie.";
}

std::string fileCut(uint64_t bytes) {
    return "The file ends " + std::to_string(bytes) +
           " bytes into a page: it was cut short, and what lay past the cut is lost (the part "
           "of that page that is left is not read).";
}

// The plain compaction, and the repair where it stops on damage (or where
// opening the source had to work around it).
CompactResult compactOrRepair(Env& env, Database& db, int fd, const CompactRequest& req,
                              const std::array<uint8_t, kPasswordBytes>& newPassword,
                              const OpenDamage& found) {
    if (found.any()) {
        return repairCopy(env, db, fd, req, newPassword, nullptr, found);
    }
    try {
        return writeCopy(env, db, fd, req, newPassword, nullptr);
    } catch (const JetException& e) {
        if (!repairable(e.error())) throw;
        return repairCopy(env, db, fd, req, newPassword, &e, found);
    }
}

}  // namespace jet
