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
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "format/IndexPage.h"
#include "format/PageFile.h"
#include "format/TableDef.h"
#include "read/PageCensus.h"

namespace jet {

struct RowView;

struct SalvageIssue {
    enum class Kind : uint8_t {
        kRowDropped,   // a live row that cannot be read, or whose keys cannot be made
        kValueNulled,  // a memo or OLE value that cannot be followed; the row is kept
        kKeyClash,     // a row whose key repeats a kept row's in a unique index: dropped
        kRowLeftOut,   // a row on a page taken for an old copy: not copied
        kPageLost,     // a page the table's map lists that holds nothing of it
        kRowsMissing,  // the definition counts more rows than were found
    };
    Kind kind = Kind::kRowDropped;
    RowPtr at;         // the row's slot, or the page (row 0)
    std::string what;  // what is wrong
    Bytes row;         // the row as found, where there is one
    uint64_t count = 0;  // kRowsMissing
};

// A row the salvage keeps.
struct KeptRow {
    RowPtr slot;  // where it was found: what index entries point to
    RowPtr data;  // the slot whose bytes it is (another for an overflow row)
    uint16_t start = 0, end = 0;  // its bytes on data.page
    uint32_t nulled = 0;  // 0, or 1 + the number of its list of columns set to null
};

// What the whole file says, shared by the salvage of every table.
struct SalvageContext {
    PageFile& file;
    const PageCensus& census;
    // The pages each table's owned map lists (ascending), by definition page;
    // tables whose map cannot be read are absent.
    const std::map<uint32_t, std::vector<uint32_t>>& listed;
};

// The pages each table's owned map lists, by definition page, for the
// tables whose map can be read.
std::map<uint32_t, std::vector<uint32_t>> readOwnedMaps(PageFile& file,
                                                         const std::vector<const TableDef*>& tables);

// Whether data pages naming the table lie outside its map (not another
// table's) while the pages its map lists hold fewer live rows than its
// definition counts: then only its salvage can tell whose rows they are.
bool pagesMayBeMissing(const PageCensus& census, const TableDef& def,
                       const std::vector<uint32_t>& listed, uint64_t listedRows,
                       const std::map<uint32_t, std::vector<uint32_t>>& listedByTable);

// Whether a page a table's usage map lists may be the table's own with its
// header damaged: a data page whose owner field is one bit off or names no
// table definition, or a page whose type byte is of no kind that names a
// table (zero, a usage bitmap, no known type) and whose owner field names
// the table or is one bit off. Its rows must still read as the table's, and
// no other table list it, before it is taken.
bool headerMayBeDamaged(const PageCensus& census, uint32_t table, const Page& page);

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
    uint32_t pagesRepaired() const { return repaired_; }  // listed, their header damaged

  private:
    // Pages (TableSalvage.cpp).
    void choosePages();
    void takeListed(const std::vector<uint32_t>& listed);
    void takeUnlisted(const std::vector<uint32_t>& listed, bool mapLost);
    bool listedByAnother(uint32_t page) const;
    bool rowsReadAsOurs(uint32_t page);
    void gatherIndexEvidence();
    // Rows (TableSalvage.cpp).
    void readRows();
    void readPage(uint32_t page);
    void keepRow(RowPtr slot, RowPtr data, uint16_t start, uint16_t end, const PageRef& holder);
    bool resolveOverflow(ByteView pointer, RowPtr& data, uint16_t& start, uint16_t& end,
                         PageRef& holder, std::string& why);
    void drop(SalvageIssue::Kind kind, RowPtr at, std::string what, ByteView row);
    void leaveOut(uint32_t page, const std::string& why);
    // Keys (SalvageKeys.cpp).
    void makeKeys();
    bool rowKey(std::size_t index, const KeptRow& r, const RowView& rv,
                const std::vector<std::pair<uint8_t, bool>>& shape, Bytes& key) const;
    bool sourceKey(std::size_t index, RowPtr slot, const RowView& rv, RowPtr data,
                   const std::vector<std::pair<uint8_t, bool>>& shape, Bytes& key) const;
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
    std::vector<SalvageIssue> issues_;
    // What the table's own indexes say, where they can be read: the pages
    // their entries point to, and each index's entries by row.
    std::vector<uint32_t> pointedPages_;
    std::vector<std::vector<std::pair<uint32_t, Bytes>>> sourceKeys_;
    uint64_t found_ = 0, changed_ = 0, leftOut_ = 0, missing_ = 0;
    uint64_t lostCapacity_ = 0;  // rows the pages and slots lost could have held
    uint32_t repaired_ = 0;
    bool pagesLost_ = false;
};

}  // namespace jet
