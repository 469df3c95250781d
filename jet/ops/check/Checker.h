// The integrity checker, as the rest of the engine calls it: walks
// everything reachable from the catalogue and finds every problem, each with
// where it was found and what a compaction does about it (Finding). Inside:
// a run over the whole file (CheckRun), a table checker per worker
// (TableChecker) and its index checker (IndexChecker).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "jet/Check.h"
#include "ops/check/Finding.h"
#include "os/SpillFile.h"
#include "read/RowDigest.h"
#include "util/Failure.h"

namespace jet {

class Database;
struct CatalogEntry;

// The checker's findings as data, with what the report says besides (as
// CheckReport) and what the compaction compares its copy by: a digest of
// each table's rows, by its definition page.
struct CheckResult {
    std::vector<Finding> findings;  // faults, each a problem of the report
    std::vector<std::string> repairs;
    std::vector<std::string> notes;
    std::vector<TableSummary> tables;
    uint32_t pageCount = 0;
    uint32_t reachablePages = 0;
    uint64_t deadRowBytes = 0;
    uint64_t freeBytesOnPages = 0;
    std::map<uint32_t, TableDigest> digests;

    bool ok() const { return findings.empty(); }
    // The definition pages of the tables with problems.
    std::set<uint32_t> damagedTables() const;
};

// The findings as the public report gives them, each with its remedy's words.
CheckReport toReport(CheckResult r);

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
    // Re-encode integer, date, Yes/No and (General-order) text keys from
    // their rows: in every table, or (false) only in system tables, whose
    // keys a compaction rewrites.
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
    // Memory for sorting an index's entries when they must be checked one by
    // one (each thread), and where what does not fit goes.
    std::size_t sortMemory = 16u << 20;
    SpillFolders spill = SpillFolders::system();
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

struct TableDef;

// The same for a large table, in steps while it is written: its rows a few
// pages at a time, read with the layout of the definition the table will
// have (its columns and indexes), then each index once it is written, then
// the rest once the table is whole, when the definition in the file must
// have that layout. The database is refreshed before each step. Damage is
// reported as problems; a step out of turn, or a definition in the file that
// differs, throws, leaving the table to the check of the whole file.
class TableCheck {
  public:
    TableCheck(Database& db, const CatalogEntry& table, const TableDef& layout,
               const CheckOptions& options = {});
    ~TableCheck();
    TableCheck(const TableCheck&) = delete;
    TableCheck& operator=(const TableCheck&) = delete;

    uint32_t table() const;  // its definition page
    // Rows on these data pages (in ascending order), now in the file.
    void rows(const std::vector<uint32_t>& pages);
    // Index i (among the real indexes) is in the file with this root, and
    // every row is: its entries are checked against the rows now; its usage
    // map at the end, with the root the definition then gives.
    void index(std::size_t i, uint32_t root);
    CheckedTable finish(std::map<uint32_t, std::vector<uint32_t>> maps);

  private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace jet
