// What a damaged table's own indexes still say about its rows, read from
// every leaf page of each that reads: the pages their entries point to, and
// each index's entries by row. It is evidence for the choice of pages, for
// rows flagged deleted that an index still lists, and for keys the rows'
// values cannot give; it never vetoes a row by itself.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/Bytes.h"
#include "format/Page.h"
#include "format/PageFile.h"
#include "format/Row.h"
#include "format/TableDef.h"

namespace jet {

struct IndexEvidence {
    // An index's entries: each row's key, as (row pointer as u32, key),
    // ascending.
    using Entries = std::vector<std::pair<uint32_t, Bytes>>;

    std::vector<uint32_t> pointedPages;  // ascending
    std::vector<Entries> byRow;          // by real index

    // Index i's entry for the row at slot, where it lists the row once;
    // null otherwise.
    const Bytes* entry(std::size_t i, RowPtr slot) const;
    // Index i's entries for the rows of page, in row order.
    std::pair<Entries::const_iterator, Entries::const_iterator> onPage(std::size_t i,
                                                                       uint32_t page) const;
    // Whether index i's entry for the row at slot (its bytes at data) holds
    // the key parts its values give; nullopt when it has no entry for it or
    // nothing in the key can be compared.
    std::optional<bool> fitsRow(const TableDef& def, std::size_t i, RowPtr slot,
                                const RowView& rv, RowPtr data) const;
};

IndexEvidence gatherIndexEvidence(PageFile& file, const TableDef& def);

// The name an issue gives real index i: its primary key's, else its first
// logical index's, else its number.
std::string indexName(const TableDef& def, std::size_t real);

}  // namespace jet
