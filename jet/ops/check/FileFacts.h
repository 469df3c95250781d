// What every table's check reads of the whole file: made once, before the
// tables are checked, and read only after, by every worker at once.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "read/PageCensus.h"
#include "salvage/PageClaim.h"

namespace jet {

struct TableDef;

struct FileFacts {
    // Every page's type and owner, when the check reads every page of the file.
    std::optional<PageCensus> census;
    // The pages each table's owned map lists (ascending), by definition page:
    // to tell a page another table owns from a page lost to the table.
    std::map<uint32_t, std::vector<uint32_t>> listed;
    // Every table whose definition reads, by definition page.
    std::map<uint32_t, const TableDef*> byPage;

    // What the salvage of a table decides by.
    SalvageContext salvage(PageFile& file) const { return {file, *census, listed, byPage}; }
};

}  // namespace jet
