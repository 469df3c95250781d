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
        info.report = checkDatabase(*db, options);
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
        auto first = [&](std::string problem, std::string remedy) {
            r.problems.insert(r.problems.begin(), std::move(problem));
            r.remedies.insert(r.remedies.begin(), std::move(remedy));
        };
        if (!found.transform.empty()) {
            first("the file's pages do not lie on their 4096-byte grid: " + found.transform,
                  "a compaction reads each page where it now lies; a page that held the change "
                  "and could not be put right is read as lost, its rows listed in "
                  "MSysCompactError");
        }
        if (found.bytesCut != 0) {
            first("the file's length (" + std::to_string(db->file().fileSize()) +
                      " bytes) is not a whole number of 4096-byte pages: it was cut short",
                  "a compaction reads every whole page; only what lay past the cut is lost, "
                  "and listed in MSysCompactError");
        }
        if (found.passwordLost) {
            first("page 0's password field holds no password: it is damaged",
                  "a compaction gives the copy the password it is given; the key that masks "
                  "the permissions' security identifiers may be lost");
        }
        if (found.keyFound) {
            first(
                "page 0's key for the encoding of the pages is damaged; the pages read under "
                "a key one bit or byte away",
                "a compaction writes the copy's header with that key; nothing is lost");
        }
        if (found.versionRepaired) {
            first("page 0 names format version " + std::to_string(found.versionWas) +
                      ", though the pages are a Jet 4 database's: the version is damaged",
                  "a compaction reads it as Jet 4 and writes the copy's header so; nothing is "
                  "lost");
        }
        if (found.dateRepaired) {
            first("page 0's creation date is damaged: the password field's mask does not come "
                  "from it",
                  "the mask the password field shows gave the date's whole days again; a "
                  "compaction writes them, and the time of day is lost");
        }
        if (found.codePageRepaired) {
            first("page 0's default code page (" + std::to_string(found.codePageWas) +
                      ") is one no Jet 4 database has: it is damaged",
                  "a compaction gives the copy the code page of the sort order's language (" +
                      std::to_string(db->header().codePage) + ")");
        }
        if (found.sortOrderRepaired) {
            first("page 0's default sort order is one no Jet 4 database has: it is damaged",
                  "a compaction gives the copy the sort order the catalogue's columns declare "
                  "(LCID " +
                      std::to_string(db->header().sortLcid) + ")");
        }
        if (found.headerRebuilt) {
            first("page 0 is not a database header: it is damaged",
                  "a compaction makes it anew with the password it is given; the creation date "
                  "and the key that masks the permissions' security identifiers are lost");
        }
        return r;
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
