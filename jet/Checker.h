// The integrity checker: walks everything reachable from the catalogue and
// reports every problem it finds, one line each, with where it was found.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "jet/Error.h"
#include "jet/RowDigest.h"

namespace jet {

class Database;

struct TableSummary {
    std::string name;
    uint32_t definitionPage = 0;
    bool system = false;
    uint64_t rows = 0;
    uint32_t indexes = 0;
};

struct CheckReport {
    // Faults: the file is damaged or inconsistent.
    std::vector<std::string> problems;
    // Harmless staleness that a compaction rewrites (row counts, stale map
    // entries); listed, but not faults.
    std::vector<std::string> notes;
    std::vector<TableSummary> tables;
    // A digest of each table's rows, by its definition page.
    std::map<uint32_t, TableDigest> digests;
    uint32_t pageCount = 0;
    uint32_t reachablePages = 0;
    uint64_t deadRowBytes = 0;      // deleted rows and overflow stubs on live pages
    uint64_t freeBytesOnPages = 0;  // unused space on live data pages
    bool ok() const { return problems.empty(); }
    uint32_t unreachablePages() const { return pageCount - reachablePages; }
};

// A table checked while the rest of its file was still being written (see
// checkTableEarly).
struct CheckedTable {
    std::string name;
    CheckReport part;                 // its findings
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
    // Usage maps taken as given instead of read, by the row that holds each.
    const std::map<uint32_t, std::vector<uint32_t>>* givenMaps = nullptr;
    // Tables checked early, by definition page: taken as checked when the
    // catalogue names them alike, once the maps they were given are found
    // in the file as given.
    const std::map<uint32_t, CheckedTable>* checked = nullptr;
};

// Checks an open database. Never throws; damage becomes problems.
CheckReport checkDatabase(Database& db, const CheckOptions& options = {});

struct CatalogEntry;

// Checks one table of a file that is still being written, whose usage maps
// are not written yet: they are given, with the pages each lists. Everything
// else the table holds (definition, rows, long values, indexes) must be in
// the file. Never throws for damage.
CheckedTable checkTableEarly(Database& db, const CatalogEntry& table,
                             std::map<uint32_t, std::vector<uint32_t>> maps,
                             const CheckOptions& options = {});

}  // namespace jet
