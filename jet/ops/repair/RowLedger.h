// The account a repair keeps of the rows a damaged file holds: every slot of
// every data page that reads as a row of a table of the file, and where
// each ends up. Before the copy replaces anything the account must balance:
// each row found is kept in its own table, kept in a recovered one, dropped
// (its reason in the damage log) or, flagged deleted, left out; none in two
// places. A repair whose account does not balance fails.
//
// Which rows are found does not depend on the repair's judgement: a data
// page counts for the table its owner field names (or, where that names no
// table, one whose usage map lists it), and its slots are read as that
// table's rows. A live slot whose bytes read, or an overflow pointer (its
// row lies elsewhere), is a row; a slot flagged deleted whose bytes still
// read, other than a row a pointer leads to, is a deleted row (a row whose
// pointer was lost with its page is flagged so too). A row kept from a page
// the census could not see (its header damaged) is found by being kept.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "format/Bytes.h"
#include "jet/Compact.h"
#include "salvage/PageClaim.h"

namespace jet {

class RowLedger {
  public:
    // Reads every data page of the file (twice: where overflow pointers
    // lead, then the slots).
    explicit RowLedger(const SalvageContext& ctx);

    // Where a row went; table names it in a fault.
    void keep(RowPtr slot, const std::string& table, bool recovered = false);
    void drop(RowPtr slot, const std::string& table);
    // The rows of a table copied as the source holds it: those on the pages
    // its usage map lists that name it. Returns how many.
    uint64_t keepListed(const SalvageContext& ctx, uint32_t table, const std::string& name,
                        bool recovered);

    // The account. fault names the first row found that went nowhere, or
    // one that went to two places; empty when the account balances.
    RowAccount settle(std::string& fault) const;

  private:
    enum Found : uint8_t { kNotFound, kRow, kDeleted };
    enum Place : uint8_t { kNowhere, kKept, kRecovered, kDropped };
    // Four bytes a slot, so that a file of millions of rows is accounted
    // for in tens of megabytes: what was found there, where it went, and
    // the table it went to (or, before that, was read as).
    struct Slot {
        uint8_t found = kNotFound;
        uint8_t place = kNowhere;
        uint16_t table = 0;
    };
    void place(RowPtr slot, Place p, const std::string& table);
    Slot& slotAt(RowPtr slot);
    uint16_t tableIndex(const std::string& name);
    const std::string& tableName(uint16_t index) const;

    std::vector<std::vector<Slot>> pages_;  // by page, by row
    std::vector<uint16_t> readAs_;          // by page: the table its rows read as
    std::vector<std::string> names_;
    std::unordered_map<std::string, uint16_t> indexOf_;
    bool twice_ = false;  // a slot placed a second time: the first such
    uint32_t twiceSlot_ = 0;
    uint16_t twiceTable_ = 0;
};

}  // namespace jet
