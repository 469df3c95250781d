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

inline constexpr std::size_t kTdefLength = 0x08;
inline constexpr std::size_t kTdefRowCount = 0x10;
inline constexpr std::size_t kTdefOwnedMap = 0x37;
inline constexpr std::size_t kTdefFreeMap = 0x3B;
inline constexpr std::size_t kTdefStats = 0x3F;
inline constexpr std::size_t kTdefPayloadPerContinuation = 4096 - 8;

// Reads and parses the definition starting at firstPage; damage names the table.
TableDef readTableDef(PageFile& file, uint32_t firstPage, const std::string& tableName);
// Parses a logical buffer (also used on rewritten definitions).
void parseTableDef(TableDef& def);

}  // namespace jet
