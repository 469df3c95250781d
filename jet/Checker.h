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

struct CheckOptions {
    // Re-encode integer, date and Yes/No keys from their rows: in every table,
    // or (false) only in system tables, whose keys a compaction rewrites.
    bool keysOfEveryTable = true;
    // Tables checked at once, each through its own handle on the file.
    unsigned threads = 1;
};

// Checks an open database. Never throws; damage becomes problems.
CheckReport checkDatabase(Database& db, const CheckOptions& options = {});

}  // namespace jet
