// A table described by its columns and indexes, and the table definition
// the engine writes for it: column blocks (system tables list theirs by
// name), names, real and logical index blocks, one real index for each
// logical one, and a long-value map entry for each memo and OLE column.
// Counts and pointers that depend on the table's contents are left for the
// table writer to patch.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "format/Bytes.h"
#include "format/TableDef.h"

namespace jet {

struct ColumnSpec {
    std::string name;
    ColumnType type = ColumnType::kLong;
    uint16_t maxChars = 255;  // Text
    bool autoNumber = false;  // Long: numbered when the value is null
};

struct IndexSpec {
    std::string name;
    std::vector<std::pair<std::string, bool>> columns;  // column name, ascending
    bool primaryKey = false;
    bool unique = false;
    bool ignoreNulls = false;
};

struct TableSpec {
    std::string name;
    std::vector<ColumnSpec> columns;
    std::vector<IndexSpec> indexes;
};

// Refuses (kUnsupported) a table the engine would not create: no name or
// columns, two columns of one name, Text longer than 255 characters, an
// AutoNumber that is not Long, an index on a missing, memo or OLE column,
// or two primary keys.
void validateTableSpec(const TableSpec& spec);

// The definition's logical buffer for a table whose first definition page
// is firstPage, parsed; column numbers follow the order of spec.columns.
TableDef makeTableDef(const TableSpec& spec, bool system, uint32_t firstPage);

// Pages a definition of this length takes after its first.
std::size_t continuationPages(std::size_t definitionLength);

}  // namespace jet
