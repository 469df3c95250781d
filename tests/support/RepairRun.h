// A damaged file compacted and read back: what the repair says, the rows of
// every user table of its copy and its damage log.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "jet/Compact.h"

namespace testsupport {

using Rows = std::vector<std::string>;  // canonical rows, sorted
using Tables = std::map<std::string, Rows>;

// Every user table's rows as this engine reads them (the tables as mdbtools lists them).
Tables userRows(const std::filesystem::path& file, const std::string& pw);

struct Repaired {
    jet::RepairSummary summary;
    Tables rows;
    std::string log;  // every row of MSysCompactError, one a line
};

// Compacts a damaged file beside it; the copy must pass its check, which
// compares every key (text keys in the General order too) with its row.
Repaired repair(const std::filesystem::path& src, const std::string& pw);

}  // namespace testsupport
