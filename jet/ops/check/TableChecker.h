// One worker of the integrity checker: checks tables one at a time through
// its own handle on the file, each table's rows and long values
// (TableChecker.cpp), which pages are the table's (CheckPages.cpp) and its
// indexes against its rows (IndexChecker). What the whole file says it
// reads, shared with the other workers.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "format/Bytes.h"
#include "format/Row.h"
#include "format/UsageMap.h"
#include "ops/check/Checker.h"
#include "ops/check/FileFacts.h"
#include "ops/check/Finding.h"
#include "ops/check/IndexChecker.h"
#include "ops/check/PagesReached.h"
#include "read/Database.h"
#include "read/LiveSlots.h"
#include "read/RowDigest.h"
#include "salvage/TableSalvage.h"

namespace jet {

class TableChecker {
  public:
    // facts: what the whole file says (none for a table checked by itself,
    // as its file is written). pages: how many the file has, for those
    // reached.
    TableChecker(Database& db, const CheckOptions& options, std::shared_ptr<const FileFacts> facts,
                 std::size_t pages)
        : db_(db), options_(options), facts_(std::move(facts)), index_(db, options) {
        reached_.reset(pages, false);
    }
    TableChecker(const TableChecker&) = delete;
    TableChecker& operator=(const TableChecker&) = delete;

    // One table's findings, by themselves.
    CheckResult checkOne(const CatalogEntry& t);
    // Takes a table checked early as checked: the pages it reached are
    // reached, and the maps it was given must be what the file now holds.
    CheckResult adopt(const CheckedTable& early, uint32_t table);

    // One table checked by itself, with the pages it reached.
    CheckedTable checkEarly(const CatalogEntry& t);

    // One table of a file still being written, in steps (TableCheck): its
    // rows read with a given layout, a few pages at a time as they are
    // written, then the rest once the table is whole.
    void beginEarly(const CatalogEntry& t, const TableDef& layout);
    void rowsEarly(const std::vector<uint32_t>& pages);
    // An index written once every row is: checked against the rows with the
    // root given, its usage map left to the end.
    void indexEarly(std::size_t i, uint32_t root);
    // def: the table's definition as the file now holds it, with the layout
    // its rows were read with.
    CheckedTable endEarly(const CatalogEntry& t, const TableDef& def);

    // The pages this worker's checks reached.
    const PagesReached& reached() const { return reached_; }

  private:
    void problem(std::string s, Remedy r, std::optional<uint32_t> page = {},
                 std::optional<uint32_t> row = {}) {
        jet::problem(result_.findings, std::move(s), r, page, row);
    }
    void note(std::string s) { result_.notes.push_back(std::move(s)); }
    template <typename F>
    void attempt(const std::string& where, Remedy r, F&& f) {
        jet::attempt(result_.findings, where, r, std::forward<F>(f));
    }

    // A table's usage map: as given, for a table checked before its file's
    // maps are written, or as read from the file.
    UsageMap tableMap(RowPtr at, const std::string& what);

    void checkTable(const CatalogEntry& entry);
    // The parts of a table's check: its rows are checked page by page
    // between beginRows and endTable.
    void beginRows(const CatalogEntry& entry, const TableDef& def);
    std::vector<uint32_t> tableMaps(const TableDef& def);
    void checkPages(const std::vector<uint32_t>& pages);
    void endTable(const TableDef& def);
    void checkOverflowTargets();
    void checkLongValueMaps(const TableDef& def);
    void checkIndexes(const TableDef& def);
    void rowsDone();
    // The table's findings so far, each stamped as the table's.
    CheckResult takeResult(uint32_t table);

    // The pages of the owned map that are the table's data pages; the
    // others are problems unless another table owns and lists them. Pages
    // in seen (ascending) were found to be its data pages as their rows
    // were checked, and are not read again.
    std::vector<uint32_t> ownDataPages(const TableDef& def, const std::vector<uint32_t>& listed,
                                       const std::vector<uint32_t>& seen);
    // Data pages naming the table that its map leaves out, and what a
    // compaction would do with the table, when the file's pages are known.
    void checkUnlisted(const TableDef& def, const std::vector<uint32_t>& listed, bool mapLost);
    // What a compaction keeps, drops and changes of a damaged table, as its
    // compaction line says.
    RepairCounts describeRepair(const TableDef& def);

    // Every value decodes within bounds; long values are read whole. The
    // same pass adds the row to the table's digest and its indexes' tallies.
    void checkRow(const TableDef& def, const PageRef& page, ByteView bytes, RowPtr rowSlot,
                  RowPtr at);

    Database& db_;
    const CheckOptions options_;
    const std::shared_ptr<const FileFacts> facts_;  // read only, shared by the workers
    PagesReached reached_;
    CheckResult result_;  // of the table being checked
    // The table being checked: what its rows have told so far.
    struct TableState {
        const TableDef* def = nullptr;  // the layout its rows are read with
        TableSummary summary;
        std::string where;
        LiveSlots live;                                         // rows that passed their check
        std::map<uint16_t, std::vector<uint32_t>> lvPagesUsed;  // sorted once the rows are done
        TableDigest* digest = nullptr;
        uint64_t rows = 0;
        std::vector<uint32_t> pages;            // pages whose rows were checked
        std::vector<uint32_t> seenOwn;          // those of them that name it as their owner
        std::vector<uint32_t> listed;           // by its owned map
        bool mapLost = true;                    // its owned map could not be read
        bool rowsDone = false;                  // every row is counted: live is finished
        std::vector<uint32_t> indexRoots;       // roots of the indexes checked early (0: none)
        std::vector<uint32_t> overflowTargets;  // rows overflow pointers led to (RowPtr as u32)
    };
    TableState table_;
    IndexChecker index_;
    Bytes longValue_;
    std::pair<uint16_t, uint32_t> lastLv_{0xFFFF,
                                          0};  // the last long-value page recorded, by column
};

}  // namespace jet
