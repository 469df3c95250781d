// The plan of a compaction's copy: which tables go where, fixed before the
// reader and the copier start and only read by both afterwards (they hold it
// as const). Planning gives each table its definition pages and usage maps
// in the copy, the new table Ids, the keys that mask security identifiers,
// the copy's page 0, and the shares of memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "format/Header.h"
#include "format/Page.h"
#include "format/TableDef.h"
#include "jet/Compact.h"
#include "ops/compact/PlannedTable.h"
#include "os/SpillFile.h"
#include "read/Database.h"
#include "write/DatabaseWriter.h"
#include "write/TableWriter.h"

namespace jet {

// What the compaction knows of a table of the source, and where its parts go
// in the copy.
struct TablePlan {
    CatalogEntry entry;
    const TableDef* def = nullptr;
    std::vector<uint32_t> newPages;         // definition pages in the copy
    TableMaps maps;                         // its usage maps in the copy
    std::vector<const Column*> idColumns;   // hold table Ids, rewritten
    std::vector<const Column*> sidColumns;  // hold SIDs, re-masked
    std::vector<const Column*> lvColumns;   // memo and OLE, by slot
    RowSource* source = nullptr;  // rows not copied as the source holds them (the reader's)
    bool fresh = false;           // not in the source: all its maps are made
    // The source's pages reading it takes, as its maps list them (a row
    // source's estimate, all of it for the rows): its rows' (data and long
    // value pages), each index's, and those of the tables before it. What
    // the reader tells of how far it has come.
    uint64_t rowPages = 0;
    std::vector<uint64_t> indexPages;
    uint64_t pagesBefore = 0;
    uint64_t pagesToRead() const {
        uint64_t n = rowPages;
        for (uint64_t i : indexPages) n += i;
        return n;
    }
};

// How a compaction's memory budget is shared out among what grows with the
// data (fixed buffers, such as pages in flight and caches, come on top).
// Whatever does not fit its share goes to spill files.
struct MemoryShares {
    std::size_t keyPairs = 0;   // the primary key's rows and places, sorted by row
    std::size_t rowRuns = 0;    // rows staged to be passed on in key order
    std::size_t rowOrders = 0;  // places of rows not written in page order (reader and copier)
    std::size_t ties = 0;       // rows of index entries with equal keys
    std::size_t levels = 0;     // entries of the levels above an index's leaves
    std::size_t sorts = 0;      // whole indexes sorted again (a source out of key order)
    std::size_t check = 0;      // the check of the copy
    static MemoryShares of(uint64_t budget);
};
inline constexpr uint64_t kMinimumMemoryBudget = 256u << 10;
// The most a budget is taken as: in a 32-bit process, whose 2 to 4 GB of
// address space also hold the program, the threads' stacks, the buffers of
// fixed size and the system's own, 512 MiB (a larger one would have its
// shares cut short where they become a size_t); no bound elsewhere.
inline constexpr uint64_t kMostMemoryBudget =
    sizeof(std::size_t) < sizeof(uint64_t) ? uint64_t{512} << 20 : ~uint64_t{0};

// Which LONG columns of which system tables hold table Ids, and which hold
// security identifiers.
bool holdsTableIds(const std::string& table, const std::string& column);
bool holdsSids(const std::string& table, const std::string& column);

struct CopyPlan {
    std::vector<TablePlan> tables;          // in the order of their definition pages
    std::map<uint32_t, uint32_t> tableIds;  // old definition page (= table Id) -> new; gone: 0
    uint32_t oldSidKey = 0, newSidKey = 0;  // what masks security identifiers, before and after
    Page page0{};                           // the copy's header
    uint32_t firstDataPage = 0;             // after the definitions and usage maps
    MemoryShares shares;
    SpillFolders spill;
    uint64_t pagesToRead = 0;  // every table's, once weighed
};

// The local tables the catalogue lists, each with its definition.
std::vector<PlannedTable> catalogueTables(Database& src);

// Plans the copy of 'tables' (any order) into the file w writes: their
// definition pages and usage maps are given out first. Tables whose Ids are
// gone lose them (set to 0) where other tables refer to them.
CopyPlan planCopy(Database& src, DatabaseWriter& w, std::vector<PlannedTable> tables,
                  const std::vector<uint32_t>& gone,
                  const std::array<uint8_t, kPasswordBytes>& newPassword, MemoryShares shares,
                  SpillFolders spill);

// Each table's pages to read, as the source's maps list them for live
// structures.
void weighTables(CopyPlan& plan, PageFile& src);

// Pages the copy will need about, once weighed: the pages to read, plus
// definitions and page 0 and 1.
uint64_t estimatePages(const CopyPlan& plan);

}  // namespace jet
