// The integrity checker's walk: everything reachable from the catalogue,
// table by table (DatabaseChecker.cpp), each table's rows and long values
// (CheckTable.cpp) and its indexes against its rows (CheckIndex.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "format/Bytes.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "format/UsageMap.h"
#include "ops/check/Checker.h"
#include "read/Database.h"
#include "read/LiveSlots.h"
#include "read/PageCensus.h"
#include "read/RowDigest.h"
#include "salvage/TableSalvage.h"
#include "util/Failure.h"

namespace jet {

class DatabaseChecker {
  public:
    DatabaseChecker(Database& db, const CheckOptions& options) : db_(db), options_(options) {
        options_.spill.env = &db.file().env();  // temporary files made as the file is read
    }

    CheckResult run();

    // One table checked by itself, with the pages it reached.
    CheckedTable checkEarly(const CatalogEntry& t);

    // One table's findings, by themselves.
    CheckResult checkOne(const CatalogEntry& t);

    // One table of a file still being written, in steps (TableCheck): its
    // rows read with a given layout, a few pages at a time as they are
    // written, then the rest once the table is whole.
    void beginEarly(const CatalogEntry& t, const TableDef& layout);
    void rowsEarly(const std::vector<uint32_t>& pages);
    // An index written once every row is: checked against the rows with the
    // root given, its usage map left to the end.
    void indexEarly(std::size_t i, uint32_t root);
    CheckedTable endEarly(const CatalogEntry& t, const TableDef& layout);

  private:
    // A finding; its table is the one checked, stamped once the table's
    // check is done (stampTable).
    void problem(std::string s, Remedy r, std::optional<uint32_t> page = {},
                 std::optional<uint32_t> row = {}) {
        Finding f;
        f.remedy = r;
        f.text = std::move(s);
        f.page = page;
        f.row = row;
        report_.findings.push_back(std::move(f));
    }
    void mark(uint32_t page) {
        if (page >= live_.size() || live_[page]) return;
        live_[page] = true;
        if (listing_) marked_.push_back(page);
    }
    // The pages marked, in ascending order (when they were listed).
    std::vector<uint32_t> markedPages();
    void note(std::string s) { report_.notes.push_back(std::move(s)); }

    template <typename F>
    void attempt(const std::string& where, Remedy r, F&& f) {
        try {
            f();
        } catch (const JetException& e) {
            problem(where + ": " + e.error().description, r, e.error().page, e.error().row);
        } catch (const std::bad_alloc&) {
            problem(where + ": not enough memory to check it", Remedy::kNone);
        }
    }

    void checkPageOne();
    void shareWhatTheFileSays(const std::vector<CatalogEntry>& tables);

    // What to report, in catalogue order: a table's own findings, or that
    // it shares its definition page with one before it.
    struct CheckItem {
        const CatalogEntry* table = nullptr;
        std::string shared;
    };
    std::vector<CatalogEntry> catalogue();
    std::vector<CheckItem> checkItems(const std::vector<CatalogEntry>& tables);
    CheckResult checkItem(DatabaseChecker& worker, const CatalogEntry& t) const;
    std::unique_ptr<DatabaseChecker> makeHelper(std::unique_ptr<Database>& second,
                                                std::size_t items);
    // The pages a second worker reached are reached.
    void takeLivePages(const DatabaseChecker& helper);
    void gather(const std::vector<CheckItem>& items, std::vector<CheckResult>& parts);

    void markMap(const UsageMap& m);

    // A table's usage map: as given, for a table checked before its file's
    // maps are written, or as read from the file.
    UsageMap tableMap(RowPtr at, const std::string& what);

    // Takes a table checked early as checked: the pages it reached are
    // live, and the maps it was given must be what the file now holds.
    CheckResult adopt(const CheckedTable& early);

    void checkTable(const CatalogEntry& entry);
    // The parts of a table's check: its rows are checked page by page
    // between beginRows and endTable.
    void beginRows(const CatalogEntry& entry, const TableDef& def);
    std::vector<uint32_t> tableMaps(const TableDef& def);
    void checkPages(const std::vector<uint32_t>& pages);
    void endTable(const TableDef& def);
    void rowsDone();
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
    // same pass adds the row to the table's digest.
    void checkRow(const TableDef& def, const PageRef& page, ByteView bytes, RowPtr rowSlot,
                  RowPtr at, std::map<uint16_t, std::vector<uint32_t>>& lvPagesUsed,
                  TableDigest& digest);
    // Adds what the row says each index must hold to the index's tally.
    void tallyRow(const TableDef& def, const RowView& rv, RowPtr rowSlot, RowPtr at);

    // What the rows say an index must hold: how many entries, and the sum of
    // a hash of each entry's row pointer and the key parts that can be
    // encoded from the row. Comparing sums spares fetching a row per entry;
    // only an index whose sums differ is checked entry by entry, to say what
    // is wrong.
    struct IndexTally {
        bool keys = false;  // key parts are checked, not only row pointers
        std::vector<std::pair<uint8_t, bool>> shape;
        std::vector<std::size_t> encodable;  // parts checked
        std::vector<std::size_t> columnAt;   // by part: the column's place in the definition
        std::vector<bool> text;              // by part: a text part in the General order
        uint64_t sum = 0;
        uint64_t required = 0;
        bool optionalRows = false;  // rows with a null part an ignore-nulls index may leave out
        bool entryByEntry = false;  // keys that cannot always be split: no sums
        // A text value with two right keys (see SharpS) or none the engine
        // can make: the entries are checked one by one instead of summed.
        bool textByEntry = false;
    };
    static constexpr uint64_t kOptional = 0;

    IndexTally makeTally(const TableDef& def, const RealIndex& idx) const;

    static uint64_t entryHash(RowPtr row, ByteView parts);

    // The hash of an entry for the sum its rows must give: its row pointer
    // and the key parts checked. False when the key cannot be split.
    bool entrySum(ByteView key, RowPtr row, const IndexTally& t, uint64_t& sum);

    void checkIndex(const TableDef& def, const RealIndex& idx, std::size_t number,
                    const LiveSlots& live, const IndexTally& tally);
    // An index whose entries do not sum to what the rows say, checked entry
    // by entry to say what is wrong.
    void checkIndexEntries(const TableDef& def, const RealIndex& idx, const LiveSlots& live,
                           const std::string& where);

    bool keyHasNull(const TableDef& def, const RealIndex& idx, RowPtr slot);
    void appendTextKeyPart(IndexTally& t, const Column& c, const std::optional<ByteView>& stored,
                           bool ascending);

    void checkKey(const TableDef& def, const RealIndex& idx,
                  const std::vector<std::pair<uint8_t, bool>>& shape, ByteView key, RowPtr row,
                  const std::string& where);

    void checkSiblings(const IndexTree& tree, const std::string& where);

    Database& db_;
    CheckOptions options_;
    // Every page of the file (with ownerScan), and each table's owned map,
    // by definition page: shared by the workers, read only once made.
    std::shared_ptr<const PageCensus> census_;
    std::shared_ptr<const std::map<uint32_t, std::vector<uint32_t>>> listed_;
    std::shared_ptr<const std::map<uint32_t, const TableDef*>> byPage_;
    CheckResult report_;
    std::vector<bool> live_;  // pages reached, by number
    bool listing_ = false;    // a table by itself: the pages it reached are listed
    std::vector<uint32_t> marked_;
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
    std::vector<IndexTally> tallies_;  // of the table being checked
    IndexTree tree_;                   // the index being checked; its buffers reused
    Bytes lastKey_;
    std::vector<uint64_t> rowKeys_;
    Bytes scratch_;
    // The key parts of the text columns of the row being tallied, made so
    // far (each at offset in textKeys_).
    struct TextPart {
        const Column* column;
        bool ascending;
        std::size_t offset, length;
        bool unsure;  // a key the sharp s's count may change
    };
    std::vector<TextPart> textParts_;
    Bytes textKeys_;
    Bytes longValue_;
    std::vector<std::pair<std::size_t, std::size_t>> parts_;
    std::pair<uint16_t, uint32_t> lastLv_{0xFFFF,
                                          0};  // the last long-value page recorded, by column
};

}  // namespace jet
