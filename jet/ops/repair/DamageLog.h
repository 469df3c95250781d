// The damage log a repair leaves in the copy: the table MSysCompactError,
// one row for each row dropped, value set to null, key clash, table lost or
// part of the file rebuilt. Each row says what was wrong and where (page
// and row of the damaged file) and carries the dropped row's readable
// values, so that nothing the file still held is beyond recovery.
//
//   ErrorCode         Long    the engine's error number for the problem
//   ErrorDescription  Memo    what was wrong, where, and the row's values
//   ErrorRecid        Binary  where the row was: its row pointer in the
//                             damaged file (u32, row number in the low byte)
//   ErrorTable        Text    the table it concerns
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "salvage/TableSalvage.h"
#include "write/RowEncoder.h"
#include "write/TableSchema.h"

namespace jet {

class Database;

inline constexpr const char* kCompactErrorTable = "MSysCompactError";

struct DamageEntry {
    int32_t code = 0;
    std::string description;
    Bytes recid;  // empty where no row is concerned
    std::string table;
};

class DamageLog {
  public:
    void add(DamageEntry e) { entries_.push_back(std::move(e)); }
    // A salvage's issues, each dropped or changed row with its readable values.
    void addIssues(Database& db, const TableDef& def, const std::vector<SalvageIssue>& issues);

    const std::vector<DamageEntry>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }

  private:
    std::vector<DamageEntry> entries_;
};

// The table as the engine creates it: no index, text and memo compressed.
TableSchema compactErrorSchema();

// One entry as a row of a table with the log's columns (matched by name,
// so that a log an earlier repair left, its columns in another order, takes
// the entry too): values by column number.
std::vector<Value> compactErrorRow(const TableDef& def, const DamageEntry& e);

// The readable values of a row as "name: value" pairs (values as the dump
// writes them), then its bytes in hexadecimal.
std::string describeRow(Database& db, const TableDef& def, ByteView row, RowPtr at);

}  // namespace jet
