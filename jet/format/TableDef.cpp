#include "format/TableDef.h"

#include <algorithm>
#include <set>

#include "format/Page.h"
#include "format/PageFile.h"
#include "format/Text.h"

namespace jet {

const char* columnTypeName(uint8_t type) {
    switch (static_cast<ColumnType>(type)) {
        case ColumnType::kBool:
            return "Yes/No";
        case ColumnType::kByte:
            return "Byte";
        case ColumnType::kInt:
            return "Integer";
        case ColumnType::kLong:
            return "Long";
        case ColumnType::kMoney:
            return "Currency";
        case ColumnType::kSingle:
            return "Single";
        case ColumnType::kDouble:
            return "Double";
        case ColumnType::kDateTime:
            return "Date/Time";
        case ColumnType::kBinary:
            return "Binary";
        case ColumnType::kText:
            return "Text";
        case ColumnType::kOle:
            return "OLE";
        case ColumnType::kMemo:
            return "Memo";
        case ColumnType::kUnknown0D:
            return "Binary(0x0D)";
        case ColumnType::kGuid:
            return "Replication ID";
        case ColumnType::kNumeric:
            return "Decimal";
        case ColumnType::kComplexBinary:
            return "Binary(0x11)";
    }
    return "Unknown";
}

uint16_t fixedTypeSize(ColumnType type) {
    switch (type) {
        case ColumnType::kBool:
        case ColumnType::kByte:
            return 1;
        case ColumnType::kInt:
            return 2;
        case ColumnType::kLong:
        case ColumnType::kSingle:
            return 4;
        case ColumnType::kMoney:
        case ColumnType::kDouble:
        case ColumnType::kDateTime:
            return 8;
        case ColumnType::kGuid:
            return 16;
        case ColumnType::kNumeric:
            return 17;
        default:
            return 0;
    }
}

const Column* TableDef::columnByNumber(uint16_t number) const {
    for (const auto& c : columns) {
        if (c.number == number) return &c;
    }
    return nullptr;
}

const Column* TableDef::columnByName(const std::string& n) const {
    for (const auto& c : columns) {
        if (c.name == n) return &c;
    }
    return nullptr;
}

const LogicalIndex* TableDef::primaryKey() const {
    for (const auto& l : logicalIndexes) {
        if (l.primaryKey()) return &l;
    }
    return nullptr;
}

namespace {

std::string readName(ByteView b, std::size_t& off, const Origin& o) {
    uint16_t len = u16(b, off, o);
    off += 2;
    ByteView raw = slice(b, off, len, o);
    off += len;
    return utf16ToUtf8(utf16leToUnits(raw));
}

[[noreturn]] void bad(const TableDef& def, const std::string& what) {
    failDamage(damagedTable(def), ": " + what, def.firstPage);
}

// The counts a definition declares for its index blocks; the column count is
// kept in the definition itself.
struct IndexCounts {
    uint32_t logical = 0;
    uint32_t real = 0;
};

// Reads the header block and narrows b to the declared length.
IndexCounts parseHeader(TableDef& def, ByteView& b, const Origin& o) {
    if (b.size() < kTdefStats) bad(def, "definition too short");
    def.length = u32(b, kTdefLength, o);
    if (def.length > b.size() || def.length < kTdefStats) {
        bad(def, "definition length out of range");
    }
    b = b.first(def.length);
    def.rowCount = u32(b, kTdefRowCount, o);
    def.autoNumber = u32(b, kTdefAutoNumber, o);
    def.tableType = u8(b, kTdefTableType, o);
    def.maxCols = u16(b, kTdefMaxCols, o);
    def.numVar = u16(b, kTdefNumVar, o);
    def.numCols = u16(b, kTdefNumCols, o);
    IndexCounts counts;
    counts.logical = u32(b, kTdefLogicalCount, o);
    counts.real = u32(b, kTdefRealCount, o);
    def.ownedMap = RowPtr::fromU32(u32(b, kTdefOwnedMap, o));
    def.freeMap = RowPtr::fromU32(u32(b, kTdefFreeMap, o));
    // Each count must fit in the buffer; this also bounds the allocations that follow.
    if (counts.real > b.size() / kRealIndexBlockSize ||
        counts.logical > b.size() / kLogicalIndexBlockSize ||
        def.numCols > b.size() / kColumnBlockSize) {
        bad(def, "column or index count out of range");
    }
    if (def.numCols > def.maxCols) bad(def, "more columns than ever allocated");
    return counts;
}

Column parseColumn(const TableDef& def, ByteView b, std::size_t off, const Origin& o) {
    Column c;
    c.blockOffset = off;
    ByteView blk = slice(b, off, kColumnBlockSize, o);
    c.type = blk[kColumnType];
    c.number = u16(blk, kColumnNumber);
    c.varIndex = u16(blk, kColumnVarIndex);
    c.sortLcid = u16(blk, kColumnSortOrder);
    c.sortVersion = blk[kColumnSortOrder + 3];
    c.precision = blk[kColumnSortOrder];
    c.scale = blk[kColumnSortOrder + 1];
    c.flags = blk[kColumnFlags];
    c.extFlags = blk[kColumnExtFlags];
    c.fixedOffset = u16(blk, kColumnFixedOffset);
    c.length = u16(blk, kColumnLength);
    if (c.number >= def.maxCols) bad(def, "column number beyond max_cols");
    if (!c.fixed() && !c.isBool() && c.varIndex >= def.numVar) {
        bad(def, "variable slot beyond num_var");
    }
    return c;
}

// The column blocks, then their names.
void parseColumns(TableDef& def, ByteView b, std::size_t& off, const Origin& o) {
    def.columns.clear();
    for (uint16_t i = 0; i < def.numCols; ++i) {
        def.columns.push_back(parseColumn(def, b, off, o));
        off += kColumnBlockSize;
    }
    for (auto& c : def.columns) c.name = readName(b, off, o);
}

RealIndex parseRealIndex(const TableDef& def, ByteView b, std::size_t off, uint32_t i,
                         const Origin& o) {
    RealIndex r;
    r.blockOffset = off;
    r.statsOffset = kTdefStats + kStatsSize * i;
    ByteView blk = slice(b, off, kRealIndexBlockSize, o);
    for (int k = 0; k < 10; ++k) {
        const std::size_t at = kRealIndexColumns + 3 * static_cast<std::size_t>(k);
        uint16_t col = u16(blk, at);
        if (col == 0xFFFF) continue;
        if (def.columnByNumber(col) == nullptr) bad(def, "index on a column that does not exist");
        r.columns.push_back({col, blk[at + 2] == 0x01});
    }
    r.usageMap = RowPtr::fromU32(u32(blk, kRealIndexUsageMap));
    r.rootPage = u32(blk, kRealIndexRoot);
    r.flags = blk[kRealIndexFlags];
    return r;
}

void parseRealIndexes(TableDef& def, ByteView b, std::size_t& off, uint32_t count,
                      const Origin& o) {
    def.realIndexes.clear();
    for (uint32_t i = 0; i < count; ++i) {
        def.realIndexes.push_back(parseRealIndex(def, b, off, i, o));
        off += kRealIndexBlockSize;
    }
}

// The logical index blocks, then their names.
void parseLogicalIndexes(TableDef& def, ByteView b, std::size_t& off, uint32_t count,
                         const Origin& o) {
    def.logicalIndexes.clear();
    for (uint32_t i = 0; i < count; ++i) {
        LogicalIndex l;
        l.blockOffset = off;
        ByteView blk = slice(b, off, kLogicalIndexBlockSize, o);
        l.number = u32(blk, kLogicalIndexNumber);
        l.realIndex = u32(blk, kLogicalIndexReal);
        l.fkRole = blk[kLogicalIndexFkRole];
        l.fkOtherTable = u32(blk, kLogicalIndexFkTable);
        l.kind = blk[kLogicalIndexKind];
        if (l.realIndex >= def.realIndexes.size()) {
            bad(def, "logical index refers to a missing real index");
        }
        def.logicalIndexes.push_back(l);
        off += kLogicalIndexBlockSize;
    }
    for (auto& l : def.logicalIndexes) l.name = readName(b, off, o);
}

void sortByNumber(TableDef& def) {
    def.numberOrder.resize(def.columns.size());
    for (std::size_t i = 0; i < def.columns.size(); ++i) def.numberOrder[i] = i;
    std::sort(def.numberOrder.begin(), def.numberOrder.end(), [&](std::size_t x, std::size_t y) {
        return def.columns[x].number < def.columns[y].number;
    });
}

// The long-value column map entries, ended by 0xFFFF.
void parseLongValueMaps(TableDef& def, ByteView b, std::size_t off, const Origin& o) {
    def.longValueMaps.clear();
    for (;;) {
        uint16_t col = u16(b, off, o);
        if (col == 0xFFFF) break;
        LongValueMaps m;
        m.blockOffset = off;
        m.column = col;
        m.owned = RowPtr::fromU32(u32(b, off + kLvMapOwned, o));
        m.free = RowPtr::fromU32(u32(b, off + kLvMapFree, o));
        def.longValueMaps.push_back(m);
        off += kLvMapEntrySize;
    }
}

}  // namespace

void parseTableDef(TableDef& def) {
    const Origin o{def.firstPage, "table definition"};
    ByteView b(def.buffer);
    const IndexCounts counts = parseHeader(def, b, o);
    std::size_t off = kTdefStats + kStatsSize * counts.real;
    parseColumns(def, b, off, o);
    parseRealIndexes(def, b, off, counts.real, o);
    parseLogicalIndexes(def, b, off, counts.logical, o);
    sortByNumber(def);
    parseLongValueMaps(def, b, off, o);
}

TableDef readTableDef(PageFile& file, uint32_t firstPage, const std::string& tableName) {
    TableDef def;
    def.name = tableName;
    def.firstPage = firstPage;
    std::set<uint32_t> seen;
    uint32_t page = firstPage;
    uint32_t declared = 0;
    while (page != 0) {
        if (!seen.insert(page).second) {
            failDamage(DamagedTable{tableName, firstPage}, ": its definition pages form a loop",
                       page);
        }
        auto p = file.page(page);
        if ((*p)[0] != kPageTableDef) {
            failDamage(DamagedTable{tableName, firstPage},
                       ": expected a table definition page, found type " + std::to_string((*p)[0]),
                       page);
        }
        def.pages.push_back(page);
        if (def.buffer.empty()) {
            def.buffer.assign(p->begin(), p->end());
            declared = u32(def.buffer, kTdefLength);
        } else {
            def.buffer.insert(def.buffer.end(), p->begin() + 8, p->end());
        }
        if (def.buffer.size() >= declared) break;  // the rest of the chain is not needed
        page = u32(*p, 4);
    }
    parseTableDef(def);
    return def;
}

}  // namespace jet
