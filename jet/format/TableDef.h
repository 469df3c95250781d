// Table definitions (TDEF pages). A definition may span several pages; its
// logical buffer is the whole first page followed by bytes 8.. of each
// continuation page, and every offset below refers to that buffer.
//
//   0x00  8     page header: 02 01, free space (u16), next page (u32)
//   0x08  4     definition length
//   0x10  4     row count
//   0x14  4     last AutoNumber handed out
//   0x28  1     table type ('N' user, 'S' system)
//   0x29  2     max_cols (columns ever allocated)
//   0x2B  2     num_var (variable slots ever allocated)
//   0x2D  2     num_cols (column blocks)
//   0x2F  4     logical index count
//   0x33  4     real index count
//   0x37  4     row pointer to the owned-pages usage map
//   0x3B  4     row pointer to the free-space usage map
//   0x3F  12×r  per real index: u32, u32 unique-entry count, u32
//   then 25-byte column blocks, column names, 52-byte real index blocks,
//   28-byte logical index blocks, logical index names, and 10-byte long-value
//   column map entries ended by u16 0xFFFF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "util/Failure.h"

namespace jet {

class PageFile;

enum class ColumnType : uint8_t {
    kBool = 0x01,
    kByte = 0x02,
    kInt = 0x03,
    kLong = 0x04,
    kMoney = 0x05,
    kSingle = 0x06,
    kDouble = 0x07,
    kDateTime = 0x08,
    kBinary = 0x09,
    kText = 0x0A,
    kOle = 0x0B,
    kMemo = 0x0C,
    kUnknown0D = 0x0D,
    kGuid = 0x0F,
    kNumeric = 0x10,
    kComplexBinary = 0x11,
};

const char* columnTypeName(uint8_t type);
// Bytes a value of a fixed-size type takes in a row (Yes/No: 1, as declared);
// 0 for the variable-length types.
uint16_t fixedTypeSize(ColumnType type);

inline constexpr std::size_t kColumnBlockSize = 25;
inline constexpr std::size_t kRealIndexBlockSize = 52;
inline constexpr std::size_t kLogicalIndexBlockSize = 28;

struct Column {
    std::size_t blockOffset = 0;
    uint8_t type = 0;
    uint16_t number = 0;       // null-mask bit
    uint16_t varIndex = 0;     // variable slot (variable columns)
    uint16_t fixedOffset = 0;  // offset in the fixed area (fixed columns)
    uint16_t length = 0;
    uint8_t flags = 0;
    uint8_t extFlags = 0;
    uint16_t sortLcid = 0;
    uint8_t sortVersion = 0;
    uint8_t precision = 0;
    uint8_t scale = 0;
    std::string name;

    bool fixed() const { return (flags & 0x01) != 0; }
    bool autoNumber() const { return (flags & 0x04) != 0; }
    bool isBool() const { return type == static_cast<uint8_t>(ColumnType::kBool); }
    bool isLongValue() const {
        return type == static_cast<uint8_t>(ColumnType::kMemo) ||
               type == static_cast<uint8_t>(ColumnType::kOle);
    }
};

struct IndexColumn {
    uint16_t column = 0;  // column number
    bool ascending = true;
};

struct RealIndex {
    std::size_t blockOffset = 0;
    std::size_t statsOffset = 0;
    std::vector<IndexColumn> columns;
    RowPtr usageMap;
    uint32_t rootPage = 0;
    uint8_t flags = 0;

    bool unique() const { return (flags & 0x01) != 0; }
    bool ignoreNulls() const { return (flags & 0x02) != 0; }
};

struct LogicalIndex {
    std::size_t blockOffset = 0;
    uint32_t number = 0;
    uint32_t realIndex = 0;
    uint8_t fkRole = 0;
    uint32_t fkOtherTable = 0;
    uint8_t kind = 0;  // 0 normal, 1 primary key, 2 foreign key
    std::string name;

    bool primaryKey() const { return kind == 1; }
};

struct LongValueMaps {
    std::size_t blockOffset = 0;
    uint16_t column = 0;
    RowPtr owned;
    RowPtr free;
};

struct TableDef {
    std::string name;
    uint32_t firstPage = 0;
    std::vector<uint32_t> pages;  // first page, then continuations
    Bytes buffer;                 // the logical definition
    uint32_t length = 0;
    uint32_t rowCount = 0;
    uint32_t autoNumber = 0;
    uint8_t tableType = 0;
    uint16_t maxCols = 0;
    uint16_t numVar = 0;
    uint16_t numCols = 0;
    RowPtr ownedMap;
    RowPtr freeMap;
    std::vector<Column> columns;
    std::vector<RealIndex> realIndexes;
    std::vector<LogicalIndex> logicalIndexes;
    std::vector<LongValueMaps> longValueMaps;
    std::vector<std::size_t> numberOrder;  // indexes into columns, in column-number order

    const Column* columnByNumber(uint16_t number) const;
    const Column* columnByName(const std::string& name) const;
    // The logical index that is the primary key, if any.
    const LogicalIndex* primaryKey() const;
};

// The table damage was found in, for failDamage.
inline DamagedTable damagedTable(const TableDef& def) { return {def.name, def.firstPage}; }

// Fields of the header block (offsets in the logical buffer).
inline constexpr std::size_t kTdefLength = 0x08;
inline constexpr std::size_t kTdefConstant = 0x0C;  // 1625
inline constexpr std::size_t kTdefRowCount = 0x10;
inline constexpr std::size_t kTdefAutoNumber = 0x14;  // the last AutoNumber handed out
inline constexpr std::size_t kTdefAutoNumberFlag = 0x18;
inline constexpr std::size_t kTdefTableType = 0x28;
inline constexpr std::size_t kTdefMaxCols = 0x29;
inline constexpr std::size_t kTdefNumVar = 0x2B;
inline constexpr std::size_t kTdefNumCols = 0x2D;
inline constexpr std::size_t kTdefLogicalCount = 0x2F;
inline constexpr std::size_t kTdefRealCount = 0x33;
inline constexpr std::size_t kTdefOwnedMap = 0x37;
inline constexpr std::size_t kTdefFreeMap = 0x3B;
inline constexpr std::size_t kTdefStats = 0x3F;
inline constexpr std::size_t kTdefPayloadPerContinuation = 4096 - 8;
inline constexpr uint32_t kTdefMagic =
    1625;  // the constant of the header, columns, logical indexes

// A real index's statistics: 12 bytes each from kTdefStats.
inline constexpr std::size_t kStatsSize = 12;
inline constexpr std::size_t kStatsDistinct = 4;  // u32: the number of distinct keys

// Column block (25 bytes).
inline constexpr std::size_t kColumnType = 0;
inline constexpr std::size_t kColumnMagic = 1;
inline constexpr std::size_t kColumnNumber = 5;
inline constexpr std::size_t kColumnVarIndex = 7;
inline constexpr std::size_t kColumnOrdinal = 9;
inline constexpr std::size_t kColumnSortOrder = 11;  // Text: u16 LCID, u8 0, u8 version
inline constexpr std::size_t kColumnFlags = 15;
inline constexpr std::size_t kColumnExtFlags = 16;
inline constexpr std::size_t kColumnFixedOffset = 21;
inline constexpr std::size_t kColumnLength = 23;

// Real index block (52 bytes).
inline constexpr std::size_t kRealIndexMagic = 0;  // 1923
inline constexpr uint32_t kRealIndexMagicValue = 1923;
inline constexpr std::size_t kRealIndexColumns = 4;  // 10 x (u16 column number, u8 ascending)
inline constexpr std::size_t kRealIndexUsageMap = 34;
inline constexpr std::size_t kRealIndexRoot = 38;
inline constexpr std::size_t kRealIndexFlags = 46;

// Logical index block (28 bytes).
inline constexpr std::size_t kLogicalIndexMagic = 0;
inline constexpr std::size_t kLogicalIndexNumber = 4;
inline constexpr std::size_t kLogicalIndexReal = 8;
inline constexpr std::size_t kLogicalIndexFkRole = 12;
inline constexpr std::size_t kLogicalIndexFkIndex = 13;
inline constexpr std::size_t kLogicalIndexFkTable = 17;  // the other table's definition page
inline constexpr std::size_t kLogicalIndexCascadeUpdate = 21;
inline constexpr std::size_t kLogicalIndexCascadeDelete = 22;
inline constexpr std::size_t kLogicalIndexKind = 23;

// Long-value column map entry (10 bytes), the list ended by u16 0xFFFF.
inline constexpr std::size_t kLvMapEntrySize = 10;
inline constexpr std::size_t kLvMapOwned = 2;
inline constexpr std::size_t kLvMapFree = 6;

// Reads and parses the definition starting at firstPage; damage names the table.
TableDef readTableDef(PageFile& file, uint32_t firstPage, const std::string& tableName);
// Parses a logical buffer (also used on rewritten definitions).
void parseTableDef(TableDef& def);

}  // namespace jet
