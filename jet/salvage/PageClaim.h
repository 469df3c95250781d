// Whose rows a data page of a damaged file holds. A page's rows join a
// table only when the page's owner field names that table and its rows
// read as the table's; a page a table's usage map lists that is not that
// table's goes back to the table its owner field names (a misdirected
// write, or two maps that swapped a page), or, naming no table whose rows
// it holds, is foreign (a page of another file written over one of ours):
// its rows are no table's. The one exception is a page whose header alone
// is damaged: its owner field one bit off the listing table's, or its type
// byte lost, while its rows read as that table's. Every table's salvage
// asks the same question of a page and gets the same answer.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "format/Page.h"
#include "format/PageFile.h"
#include "format/TableDef.h"
#include "read/PageCensus.h"

namespace jet {

// What the whole file says, shared by the salvage of every table.
struct SalvageContext {
    PageFile& file;
    const PageCensus& census;
    // The pages each table's owned map lists (ascending), by definition page;
    // tables whose map cannot be read are absent.
    const std::map<uint32_t, std::vector<uint32_t>>& listed;
    // Every table of the file whose definition reads, by definition page.
    const std::map<uint32_t, const TableDef*>& tables;
};

struct PageClaim {
    enum class Kind : uint8_t {
        kOwn,       // the page's owner field names the table and its rows read as its rows
        kReturned,  // the same, for a table whose map does not list it: another's map does
        kRepaired,  // its header is damaged, its rows read as the listing table's
        kForeign,   // no table of the file holds its rows
    };
    Kind kind = Kind::kForeign;
    uint32_t table = 0;  // whose rows it holds (kOwn, kReturned, kRepaired)
};

// How the live slots of a data page read as rows of a table.
struct PageReading {
    std::size_t live = 0;    // live slots
    std::size_t rows = 0;    // of those, rows that read as the table's where their offsets say
    std::size_t broken = 0;  // rows that do not read as the table's, even sought again
    bool readsAsRows() const { return live > 0 && rows == live; }
};
PageReading readPageAs(const Page& page, const TableDef& def);

// Whether the page's table of offsets is sound: every slot within the page,
// each row below the one before it.
bool offsetsSound(const Page& page);

// The tables by definition page.
std::map<uint32_t, const TableDef*> tablesByPage(const std::vector<const TableDef*>& defs);

// What becomes of a page table lists in its owned map (table: its
// definition page).
PageClaim claimListed(const SalvageContext& ctx, uint32_t table, uint32_t page);

// The tables other than owner whose maps list page.
std::vector<uint32_t> listersOf(const SalvageContext& ctx, uint32_t owner, uint32_t page);

}  // namespace jet
