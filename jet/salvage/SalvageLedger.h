// What the salvage of a table says and counts: one issue for each row it
// drops, changes, leaves out or brings back and for each page it loses, and
// the counts those issues add up to. Adding an issue is the only way a count
// changes, so the counts and the issues cannot disagree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "format/Page.h"
#include "jet/RepairCounts.h"

namespace jet {

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
    RowPtr at;         // the row's slot, or the page (row 0)
    std::string what;  // what is wrong
    Bytes row;         // the row as found, where there is one
    // kRowsMissing, kRowsMovedBack: the rows; kPageLost: the rows what was
    // lost could have held.
    uint64_t count = 0;
};

class SalvageLedger {
  public:
    // table: its definition page; declared: the rows its definition counts.
    SalvageLedger(uint32_t table, uint64_t declared) : table_(table), declared_(declared) {}

    // Adds an issue and, by its kind, to the counts.
    void add(SalvageIssue issue);
    void add(SalvageIssue::Kind kind, RowPtr at, std::string what, ByteView row = {},
             uint64_t count = 0) {
        add({kind, at, std::move(what), Bytes(row.begin(), row.end()), count});
    }
    // A live row on the table's pages, whether it is kept or not.
    void rowFound() { ++found_; }
    // The table's usage map cannot be read: the pages it listed are
    // unknown, so any row the count names and no page holds may have been
    // on one of them.
    void mapLost() { lostCapacity_ = UINT64_MAX; }
    // Every row is read: says how many the definition counts that were not
    // found.
    void rowsRead();

    const std::vector<SalvageIssue>& issues() const { return issues_; }
    uint64_t rowsFound() const { return found_; }
    uint64_t rowsLeftOut() const { return leftOut_; }
    uint64_t rowsMissing() const { return missing_; }
    // Of those, the rows that can have been on what was lost (pages,
    // slots): a count that is merely stale loses nothing.
    uint64_t rowsLost() const { return missing_ < lostCapacity_ ? missing_ : lostCapacity_; }
    // Whether the definition's count of rows differs from the rows found by
    // more than what was lost.
    bool countStale() const { return declared_ != found_ && rowsLost() < missing_; }
    // kept: the rows the salvage keeps in the end.
    RepairCounts counts(uint64_t kept) const;

  private:
    std::vector<SalvageIssue> issues_;
    RepairCounts tally_;  // the counts the issues give directly
    uint32_t table_ = 0;
    uint64_t declared_ = 0, found_ = 0, leftOut_ = 0, missing_ = 0;
    uint64_t lostCapacity_ = 0;  // rows the pages and slots lost could have held
    bool pagesLost_ = false;
};

}  // namespace jet
