// Column values as text, for dumps and comparisons.
//
// The dump form is one JSON object a row, members in column-number order:
// numbers as JSON numbers (Currency and Decimal exactly, as decimal text),
// Yes/No as true/false, Date/Time as "YYYY-MM-DD HH:MM:SS", text and memo as
// strings, binary and OLE as {"$binary": base64}, Replication ID as
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", null as null.
#pragma once

#include <ostream>
#include <string>

#include "format/Bytes.h"
#include "format/TableDef.h"

namespace jet {

class Database;
struct RowView;

std::string formatDate(double days);
std::string formatDecimal(ByteView stored, uint8_t scale);
std::string base64(ByteView data);
std::string jsonString(const std::string& utf8);

// The JSON text of one column of a cracked row (reads long values).
std::string columnJson(Database& db, const TableDef& def, const Column& col, const RowView& row,
                       uint32_t page, int rowNumber);

// Writes every live row of a table, one JSON object a line.
void dumpTable(Database& db, const TableDef& def, std::ostream& out);

}  // namespace jet
