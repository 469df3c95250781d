#include "jet/Check.h"

#include <algorithm>

#include "format/PageFile.h"
#include "ops/check/Checker.h"
#include "read/Database.h"
#include "read/Value.h"

namespace jet {

Result<DatabaseInfo> databaseInfo(const std::string& path, const std::string& password, Env* env) {
    return guard([&] {
        auto db = Database::open(envOr(env), path, password);
        DatabaseInfo info;
        const Header& h = db->header();
        info.format = "Jet 4";
        info.pageCount = db->file().pageCount();
        info.fileSize = db->file().fileSize();
        info.encoded = h.databaseKey != 0;
        info.hasPassword = h.hasPassword();
        info.codePage = h.codePage;
        info.sortLcid = h.sortLcid;
        info.creationDate = formatDate(h.creationDate);
        CheckOptions options;
        options.threads = 2;
        info.report = toReport(checkDatabase(*db, options));
        return info;
    });
}

Result<CheckReport> checkFile(const std::string& path, const std::string& password, Env* env) {
    return guard([&]() -> CheckReport {
        OpenDamage found;
        auto db = Database::openDamaged(envOr(env), path, password, found);
        CheckOptions options;
        options.threads = 2;
        options.ownerScan = true;
        CheckResult r = checkDatabase(*db, options);
        // What was found as the file was opened comes first.
        auto first = [&](Finding f) { r.findings.insert(r.findings.begin(), std::move(f)); };
        if (!found.transform.empty()) {
            first({.remedy = Remedy::kPagesRegridded,
                   .text = "the file's pages do not lie on their 4096-byte grid: " +
                           found.transform});
        }
        if (found.bytesCut != 0) {
            first({.remedy = Remedy::kFileCut,
                   .text = "the file's length (" + std::to_string(db->file().fileSize()) +
                           " bytes) is not a whole number of 4096-byte pages: it was cut short"});
        }
        if (found.passwordLost) {
            first({.remedy = Remedy::kPasswordLost,
                   .text = "page 0's password field holds no password: it is damaged",
                   .page = 0});
        }
        if (found.keyFound) {
            first({.remedy = Remedy::kKeyFound,
                   .text = "page 0's key for the encoding of the pages is damaged; the pages read "
                           "under a key one bit or byte away",
                   .page = 0});
        }
        if (found.versionRepaired) {
            first({.remedy = Remedy::kVersionRepaired,
                   .text = "page 0 names format version " + std::to_string(found.versionWas) +
                           ", though the pages are a Jet 4 database's: the version is damaged",
                   .page = 0});
        }
        if (found.dateRepaired) {
            first({.remedy = Remedy::kDateRepaired,
                   .text = "page 0's creation date is damaged: the password field's mask does not "
                           "come from it",
                   .page = 0});
        }
        if (found.codePageRepaired) {
            first({.remedy = Remedy::kCodePageGiven,
                   .text = "page 0's default code page (" + std::to_string(found.codePageWas) +
                           ") is one no Jet 4 database has: it is damaged",
                   .page = 0,
                   .given = db->header().codePage});
        }
        if (found.sortOrderRepaired) {
            first({.remedy = Remedy::kSortOrderGiven,
                   .text = "page 0's default sort order is one no Jet 4 database has: it is "
                           "damaged",
                   .page = 0,
                   .given = db->header().sortLcid});
        }
        if (found.headerRebuilt) {
            first({.remedy = Remedy::kHeaderRebuilt,
                   .text = "page 0 is not a database header: it is damaged",
                   .page = 0});
        }
        return toReport(std::move(r));
    });
}

Status dumpFile(const std::string& path, const std::string& password,
                const std::vector<std::string>& tables, std::ostream& out, Env* env) {
    return guard([&] {
        auto db = Database::open(envOr(env), path, password);
        auto all = db->localTables();
        std::vector<CatalogEntry> chosen;
        if (tables.empty()) {
            for (const auto& t : all) {
                if (!t.isSystem()) chosen.push_back(t);
            }
        } else {
            for (const auto& name : tables) {
                auto it = std::find_if(all.begin(), all.end(),
                                       [&](const CatalogEntry& e) { return e.name == name; });
                if (it == all.end())
                    fail(ErrorCode::kNoSuchTable, "The table '" + name + "' does not exist.");
                chosen.push_back(*it);
            }
        }
        for (const auto& t : chosen) {
            const TableDef& def = db->tableDef(t.tdefPage(), t.name);
            out << "# table " << t.name << "\n";
            dumpTable(*db, def, out);
        }
        return Unit{};
    });
}

}  // namespace jet
