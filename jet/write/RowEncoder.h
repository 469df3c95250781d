// Encoding values into a row of a table as the engine stores it: the fixed
// area, the variable slots and the null mask. Memo and OLE values are handed
// back for the table writer to place, in the row or on pages of their own.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "format/Bytes.h"
#include "format/TableDef.h"

namespace jet {

// A value: null, Yes/No, a whole number (Byte, Integer, Long, Currency in
// ten-thousandths), a number (Single, Double, Date/Time as days since
// 1899-12-30, Currency), text (UTF-8; Text and Memo), or bytes (Binary, OLE,
// Replication ID).
using Value = std::variant<std::monostate, bool, int64_t, double, std::string, Bytes>;

// A memo or OLE value of a row, its bytes as stored.
struct PendingLongValue {
    uint16_t column = 0;  // column number
    uint16_t slot = 0;    // variable slot
    Bytes data;
};

struct EncodedRow {
    Bytes fixed;
    std::vector<Bytes> variable;  // one for each variable slot; long values' left empty
    Bytes mask;
    std::vector<PendingLongValue> longValues;  // in column-number order
};

// Encodes one value for each column number of the table (a missing one is
// null). Text goes in compressed where the column asks for it. Refuses
// (kUnsupported, naming the column) a value of the wrong kind or range.
void encodeRow(const TableDef& def, const std::vector<Value>& byNumber, EncodedRow& out);

// The row's bytes with its long values inline, whatever their size (for
// rows the table writer takes apart again and places).
Bytes encodeRowBytes(const TableDef& def, const std::vector<Value>& byNumber);

// Text as a column with Unicode compression stores it: one byte a character
// after FF FE when every character allows it, else UTF-16.
Bytes storeText(const std::u16string& text, bool compress);

}  // namespace jet
