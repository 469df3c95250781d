// The integrity checker: walks everything reachable from the catalogue and
// reports every problem it finds, one line each, with where it was found.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "jet/Check.h"
#include "read/RowDigest.h"
#include "util/Failure.h"

namespace jet {

class Database;
struct CatalogEntry;

// The checker's findings, with what the compaction compares its copy by: a
// digest of each table's rows, by its definition page.
struct CheckResult : CheckReport {
    std::map<uint32_t, TableDigest> digests;
    // The definition pages of the tables with problems.
    std::set<uint32_t> damagedTables;
};

// A table checked while the rest of its file was still being written (see
// checkTableEarly).
struct CheckedTable {
    std::string name;
    CheckResult part;                 // its findings
    std::vector<uint32_t> livePages;  // the pages it reached
    // The usage maps it was given, by the row that holds each (RowPtr as
    // u32), each listing its pages in ascending order.
    std::map<uint32_t, std::vector<uint32_t>> maps;
};

struct CheckOptions {
    // Re-encode integer, date and Yes/No keys from their rows: in every table,
    // or (false) only in system tables, whose keys a compaction rewrites.
    bool keysOfEveryTable = true;
    // Tables checked at once, each through its own handle on the file.
    unsigned threads = 1;
    // Read every page of the file to find data pages missing from their
    // table's usage map, and say what a compaction would do with each
    // damaged table.
    bool ownerScan = false;
    // The tables to check, in place of those the catalogue lists.
    const std::vector<CatalogEntry>* tables = nullptr;
    // Usage maps taken as given instead of read, by the row that holds each.
    const std::map<uint32_t, std::vector<uint32_t>>* givenMaps = nullptr;
    // Tables checked early, by definition page: taken as checked when the
    // catalogue names them alike, once the maps they were given are found
    // in the file as given.
    const std::map<uint32_t, CheckedTable>* checked = nullptr;
};

// Checks an open database. Never throws; damage becomes problems.
CheckResult checkDatabase(Database& db, const CheckOptions& options = {});

// Checks one table of a file that is still being written, whose usage maps
// are not written yet: they are given, with the pages each lists. Everything
// else the table holds (definition, rows, long values, indexes) must be in
// the file. Never throws for damage.
CheckedTable checkTableEarly(Database& db, const CatalogEntry& table,
                             std::map<uint32_t, std::vector<uint32_t>> maps,
                             const CheckOptions& options = {});

}  // namespace jet
