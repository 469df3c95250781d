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
#include "read/PageClaim.h"

namespace jet {

class RowLedger {
  public:
    // Reads every data page of the file once.
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
    enum class Found : uint8_t { kRow, kDeleted };
    enum class Place : uint8_t { kKept, kRecovered, kDropped };
    struct Placed {
        Place place;
        std::string table;
    };
    void place(RowPtr slot, Place p, const std::string& table);

    std::unordered_map<uint32_t, Found> found_;  // by slot (RowPtr::toU32)
    std::unordered_map<uint32_t, std::string> readAs_;  // by page: the table its rows read as
    std::unordered_map<uint32_t, Placed> placed_;
    std::vector<std::pair<uint32_t, std::string>> twice_;  // a slot placed again, and where
};

}  // namespace jet
