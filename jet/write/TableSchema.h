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

struct ColumnSchema {
    std::string name;
    ColumnType type = ColumnType::kLong;
    uint16_t maxChars = 255;  // Text
    bool autoNumber = false;  // Long: numbered when the value is null
};

struct IndexSchema {
    std::string name;
    std::vector<std::pair<std::string, bool>> columns;  // column name, ascending
    bool primaryKey = false;
    bool unique = false;
    bool ignoreNulls = false;
};

struct TableSchema {
    std::string name;
    std::vector<ColumnSchema> columns;
    std::vector<IndexSchema> indexes;
};

// Refuses (kUnsupported) a table the engine would not create: no name or
// columns, two columns of one name, Text longer than 255 characters, an
// AutoNumber that is not Long, an index on a missing, memo or OLE column,
// or two primary keys.
void validateTableSchema(const TableSchema& schema);

// The definition's logical buffer for a table whose first definition page
// is firstPage, parsed; column numbers follow the order of schema.columns.
TableDef makeTableDef(const TableSchema& schema, bool system, uint32_t firstPage);

// Pages a definition of this length takes after its first.
std::size_t continuationPages(std::size_t definitionLength);

}  // namespace jet
