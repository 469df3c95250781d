// The entries of a damaged index: every leaf page that can be read, so
// that one page that cannot costs that page's entries, not the index's.
// Leaves are found from the root wherever the node pages read, along the
// sibling links (each link confirmed by the link back) where they do not,
// and through the index's own usage map. A leaf is taken only when it reads
// whole and its entries are in order.
#pragma once

#include <cstdint>
#include <vector>

#include "format/IndexPage.h"
#include "format/PageFile.h"
#include "format/TableDef.h"

namespace jet {

struct SalvagedIndex {
    PackedEntries entries;         // of every leaf taken, leaf by leaf
    std::vector<uint32_t> leaves;  // the leaves taken
    std::vector<uint32_t> lost;    // pages of the index that could not be read
};

SalvagedIndex salvageIndex(PageFile& file, const RealIndex& index, uint32_t owner);

}  // namespace jet
