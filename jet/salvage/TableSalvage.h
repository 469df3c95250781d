// Reading a damaged table without trusting what is damaged.
//
// Its data pages are those its usage map lists that are its own, a listed
// page whose type or owner field is damaged when its rows read as the
// table's and no other table lists it, and pages found by reading the whole file
// that name the table as owner but are missing from its map, where the
// table's other evidence (its free-space map, its indexes, the rows its
// definition counts) says they hold its rows. Rows are read through the
// offset table (a damaged offset found again between its neighbours);
// deleted rows stay deleted; a row that does not read is dropped; overflow
// rows and long values are followed where intact, and a long value that
// cannot be followed becomes null, the row kept. Every drop and change is
// an issue, with the row's bytes as found. Then each index's keys are made
// from the rows; a row whose key repeats a kept row's in a unique index is
// dropped, the first kept.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "format/DataPage.h"
#include "format/IndexPage.h"
#include "format/PageFile.h"
#include "format/TableDef.h"
#include "jet/RepairCounts.h"
#include "read/PageCensus.h"
#include "salvage/PageClaim.h"
#include "salvage/SalvagePage.h"

namespace jet {

struct RowView;

struct SalvageIssue {
    enum class Kind : uint8_t {
        kRowDropped,       // a live row that cannot be read, or whose keys cannot be made
        kValueNulled,      // a memo or OLE value that cannot be followed; the row is kept
        kKeyClash,         // a row whose key repeats a kept row's in a unique index: dropped
        kRowLeftOut,       // a row on a page taken for an old copy: not copied
        kPageLost,         // a page the table's map lists that holds nothing of it
        kRowsMissing,      // the definition counts more rows than were found
        kRowForeign,       // a row on a page the map lists that holds no table's rows: left out
        kRowsMovedBack,    // a page another table's map lists holds the table's rows: copied here
        kSecondReference,  // an overflow pointer that leads to a row copied already
        kRowRestored,      // a row flagged deleted that an index still lists: brought back
        kDeleteKept,       // the same, its bytes gone: it stays deleted
        kIndexReordered,   // an index keyed anew in the General order, its columns declared so
    };
    Kind kind = Kind::kRowDropped;
    RowPtr at;           // the row's slot, or the page (row 0)
    std::string what;    // what is wrong
    Bytes row;           // the row as found, where there is one
    uint64_t count = 0;  // kRowsMissing, kRowsMovedBack
};

// A row the salvage keeps.
struct KeptRow {
    RowPtr slot;                  // where it was found: what index entries point to
    RowPtr data;                  // the slot whose bytes it is (another for an overflow row)
    uint16_t start = 0, end = 0;  // its bytes on data.page
    uint32_t nulled = 0;          // 0, or 1 + the number of its list of columns set to null
};

class TableSalvage {
  public:
    TableSalvage(const SalvageContext& ctx, const TableDef& def) : ctx_(ctx), def_(def) {}

    // Finds the pages and rows, makes the keys, drops clashing rows.
    void run();

    const std::vector<SalvageIssue>& issues() const { return issues_; }
    // The rows kept, in the order they are written: by primary key where
    // there is one, else as found.
    const std::vector<KeptRow>& rows() const { return rows_; }
    // Real index i's entries: keys in key order, each with its row's slot.
    PackedEntries& entries(std::size_t i) { return entries_[i]; }
    // The bytes of a kept row as it is copied; valid until the next call.
    ByteView rowBytes(const KeptRow& r, PageRef& holder, Bytes& scratch) const;

    const std::vector<uint32_t>& pages() const { return pages_; }
    uint64_t rowsFound() const { return found_; }  // live rows on its pages
    uint64_t rowsChanged() const { return changed_; }
    uint64_t rowsDropped() const { return found_ - rows_.size(); }
    uint64_t rowsLeftOut() const { return leftOut_; }
    uint64_t rowsMissing() const { return missing_; }
    // Of those, the rows that can have been on what was lost (pages, slots):
    // a count that is merely stale loses nothing.
    uint64_t rowsLost() const { return std::min(missing_, lostCapacity_); }
    // Rows on pages another table's map lists, taken back (kept).
    uint64_t rowsMovedBack() const { return movedBack_; }
    // Rows on pages its map lists that belong to no table: left out.
    uint64_t rowsForeign() const { return foreign_; }
    // Rows flagged deleted that an index still lists: brought back (kept);
    // and those whose bytes are gone, which stay deleted.
    uint64_t rowsRestored() const { return restored_; }
    uint64_t deletesKept() const { return deletesKept_; }
    // The definition the copy takes where an index was keyed anew in the
    // General order (its text columns declared so); null otherwise.
    const TableDef* reordered() const { return general_.get(); }
    bool indexReordered(std::size_t i) const { return general_ && rekeyed_[i]; }
    // What it keeps, drops and changes, in the terms every report of a
    // repair uses.
    RepairCounts counts() const {
        return {rows_.size(), rowsDropped() + rowsLeftOut() + rowsLost(),
                changed_,     movedBack_,
                foreign_,     restored_,
                deletesKept_, countStale()};
    }
    // Whether the definition's count of rows differs from the rows found
    // (and by how many it is stale, past what was lost).
    bool countStale() const { return def_.rowCount != found_ && rowsLost() < missing_; }

  private:
    // Pages (TableSalvage.cpp).
    void choosePages();
    void takeListed(const std::vector<uint32_t>& listed);
    void takeUnlisted(const std::vector<uint32_t>& listed, bool mapLost);
    bool listedByAnother(uint32_t page) const;
    void loseCapacity(uint64_t rows = kMaxRowsPerPage);
    void leaveForeign(uint32_t page);
    bool indexVouchesFor(uint32_t page);
    int witness() const;
    int fitAt(RowPtr slot, const RowView& rv, RowPtr data) const;
    int fitNeeded() const;
    bool fitsInPlace(RowPtr slot, int needed);
    bool heldElsewhere(uint32_t page);
    bool witnessHolds(std::size_t index);
    bool liveRowAt(RowPtr slot, PageRef& holder, RowView& rv);
    void gatherIndexEvidence();
    // Rows (TableSalvage.cpp).
    void readRows();
    void readPage(uint32_t page);
    void keepRow(RowPtr slot, RowPtr data, uint16_t start, uint16_t end, const PageRef& holder);
    bool resolveOverflow(ByteView pointer, RowPtr& data, uint16_t& start, uint16_t& end,
                         PageRef& holder, std::string& why, bool& again);
    // Rows the slots of its pages still hold unseen: flagged deleted while an
    // index lists them, or rows an overflow pointer led to before it was lost.
    void restoreIndexed();
    void takeOrphans();
    const std::vector<SalvagedSlot>& slotsOf(uint32_t page);
    void countMovedBack();
    void drop(SalvageIssue::Kind kind, RowPtr at, std::string what, ByteView row);
    void leaveOut(uint32_t page, const std::string& why);
    // Keys (SalvageKeys.cpp).
    void makeKeys();
    bool rowKey(std::size_t index, const KeptRow& r, const RowView& rv,
                const std::vector<std::pair<uint8_t, bool>>& shape, Bytes& key) const;
    bool sourceKey(std::size_t index, RowPtr slot, const RowView& rv, RowPtr data,
                   const std::vector<std::pair<uint8_t, bool>>& shape, Bytes& key) const;
    // Whether index i's entry for the row at slot (its bytes at data) holds
    // the key parts its values give; nullopt when it has no entry for it or
    // nothing in the key can be compared.
    std::optional<bool> entryFitsRow(std::size_t i, RowPtr slot, const RowView& rv,
                                     RowPtr data) const;
    const Bytes* sourceEntry(std::size_t i, RowPtr slot) const;
    const TableDef& keyDef(std::size_t index) const;
    void keysFromLikeRows(std::size_t index, std::vector<std::size_t>& missing,
                          std::vector<Bytes>& found);
    void keyInGeneralOrder(const std::vector<std::size_t>& indexes);
    void keyRows(const std::vector<std::vector<std::pair<uint8_t, bool>>>& shapes,
                 std::vector<bool>& dropped, std::vector<std::size_t>& unkeyed, bool last);
    void dropClashes(const std::vector<std::vector<std::pair<uint8_t, bool>>>& shapes,
                     std::vector<bool>& dropped);
    void orderRows(const std::vector<bool>& dropped);
    std::string indexName(std::size_t real) const;

    const SalvageContext& ctx_;
    const TableDef& def_;
    std::vector<uint32_t> pages_;
    std::vector<KeptRow> kept_;  // as found
    std::vector<KeptRow> rows_;  // as written
    std::vector<std::vector<uint16_t>> nulledColumns_;
    std::vector<PackedEntries> entries_;
    // The definition with columns declared General where an index had to
    // be keyed anew in that order (none: no index had), and those indexes.
    std::unique_ptr<TableDef> general_;
    std::vector<bool> rekeyed_;
    std::vector<SalvageIssue> issues_;
    // What the table's own indexes say, where they can be read: the pages
    // their entries point to, and each index's entries by row.
    std::vector<uint32_t> pointedPages_;
    std::vector<std::vector<std::pair<uint32_t, Bytes>>> sourceKeys_;
    // Pages another table's map lists whose rows are this table's, with
    // that table.
    std::vector<std::pair<uint32_t, uint32_t>> returned_;
    // The rows overflow pointers led to, as u32 row pointers; the pointers
    // that led nowhere, or to a row reached already, to be told once the
    // rows no pointer reaches are known; rows brought back.
    std::set<uint32_t> reached_, deletedReached_;
    struct LostStub {
        RowPtr slot;
        std::string why;
        Bytes bytes;
        bool again = false;  // a second reference
    };
    std::vector<LostStub> lostStubs_;
    // Slots flagged deleted alone (as the rows overflow pointers lead to
    // are), with bytes: where rows no pointer reaches are sought.
    std::vector<std::pair<RowPtr, SalvagedSlot>> flaggedDeleted_;
    std::set<uint32_t> restoredSlots_;
    std::map<uint32_t, std::vector<SalvagedSlot>> slotCache_;
    std::multimap<Bytes, uint32_t> byKey_;  // the witness index's entries by key
    std::optional<bool> witnessHolds_;
    uint64_t found_ = 0, changed_ = 0, leftOut_ = 0, missing_ = 0;
    uint64_t movedBack_ = 0, foreign_ = 0, restored_ = 0, deletesKept_ = 0;
    uint64_t lostCapacity_ = 0;  // rows the pages and slots lost could have held
    bool pagesLost_ = false;
};

}  // namespace jet
