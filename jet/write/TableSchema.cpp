#include "write/TableSchema.h"

#include <algorithm>
#include <set>

#include "format/Page.h"
#include "format/Text.h"
#include "util/Failure.h"

namespace jet {

namespace {

// The types stored in the fixed area (Decimal is not written).
bool isFixedType(ColumnType t) { return t != ColumnType::kNumeric && fixedTypeSize(t) > 0; }

void appendName(Bytes& b, const std::string& name) {
    std::u16string u;
    utf8ToUtf16(name, u);
    append16(b, static_cast<uint16_t>(u.size() * 2));
    for (char16_t c : u) append16(b, c);
}

std::size_t columnIndex(const TableSchema& schema, const std::string& name) {
    auto it = std::find_if(schema.columns.begin(), schema.columns.end(),
                           [&](const ColumnSchema& c) { return c.name == name; });
    return static_cast<std::size_t>(it - schema.columns.begin());
}

// Where each column lies in a row: fixed columns one after another in
// declaration order, every other column (but Yes/No) a variable slot.
struct Layout {
    std::vector<std::size_t> blockOrder;  // declaration indexes in column-block order
    std::vector<uint16_t> fixedOffset, varIndex;
    uint16_t numVar = 0;
};

Layout layOut(const TableSchema& schema, bool system) {
    Layout l;
    const auto& cols = schema.columns;
    for (std::size_t i = 0; i < cols.size(); ++i) l.blockOrder.push_back(i);
    if (system) {
        std::sort(l.blockOrder.begin(), l.blockOrder.end(),
                  [&](std::size_t a, std::size_t b) { return cols[a].name < cols[b].name; });
    }
    l.fixedOffset.assign(cols.size(), 0);
    l.varIndex.assign(cols.size(), 0);
    uint16_t fixedSize = 0;
    for (std::size_t i = 0; i < cols.size(); ++i) {
        const ColumnType type = cols[i].type;
        if (type == ColumnType::kBool) continue;
        if (isFixedType(type)) {
            l.fixedOffset[i] = fixedSize;
            fixedSize = static_cast<uint16_t>(fixedSize + fixedTypeSize(type));
        } else {
            l.varIndex[i] = l.numVar++;
        }
    }
    return l;
}

Bytes columnBlock(const ColumnSchema& c, std::size_t number, const Layout& l, bool system) {
    const bool fixed = isFixedType(c.type);
    Bytes blk(kColumnBlockSize, 0);
    blk[kColumnType] = static_cast<uint8_t>(c.type);
    put32(blk.data() + kColumnMagic, kTdefMagic);
    put16(blk.data() + kColumnNumber, static_cast<uint16_t>(number));
    put16(blk.data() + kColumnVarIndex, l.varIndex[number]);
    put16(blk.data() + kColumnOrdinal, system ? 0 : static_cast<uint16_t>(number));
    blk[kColumnSortOrder] = 0x09;  // General sort order, 1033 version 0
    blk[kColumnSortOrder + 1] = 0x04;
    uint8_t flags = fixed ? 0x03 : 0x02;
    if (system) flags |= 0x10;
    if (system && c.type == ColumnType::kBinary && (c.name == "Owner" || c.name == "SID"))
        flags = 0x32;
    if (c.autoNumber) flags |= 0x04;
    blk[kColumnFlags] = flags;
    if (!system && (c.type == ColumnType::kText || c.type == ColumnType::kMemo))
        blk[kColumnExtFlags] = 0x01;  // Unicode compression
    put16(blk.data() + kColumnFixedOffset, l.fixedOffset[number]);
    uint16_t len = fixedTypeSize(c.type);
    if (c.type == ColumnType::kText) len = static_cast<uint16_t>(c.maxChars * 2);
    if (c.type == ColumnType::kBinary) len = 510;
    put16(blk.data() + kColumnLength, len);
    return blk;
}

Bytes realIndexBlock(const TableSchema& schema, const IndexSchema& ix) {
    Bytes blk(kRealIndexBlockSize, 0);
    put32(blk.data() + kRealIndexMagic, kRealIndexMagicValue);
    for (std::size_t s = 0; s < 10; ++s) {
        uint16_t number = 0xFFFF;
        uint8_t dir = 0;
        if (s < ix.columns.size()) {
            number = static_cast<uint16_t>(columnIndex(schema, ix.columns[s].first));
            dir = ix.columns[s].second ? 0x01 : 0x00;
        }
        put16(blk.data() + kRealIndexColumns + 3 * s, number);
        blk[kRealIndexColumns + 3 * s + 2] = dir;
    }
    uint8_t flags = 0x80;
    if (ix.unique || ix.primaryKey) flags |= 0x01;
    if (ix.ignoreNulls) flags |= 0x02;
    if (ix.primaryKey) flags |= 0x08;
    blk[kRealIndexFlags] = flags;
    return blk;
}

Bytes logicalIndexBlock(const IndexSchema& ix, std::size_t i) {
    Bytes blk(kLogicalIndexBlockSize, 0);
    put32(blk.data() + kLogicalIndexMagic, kTdefMagic);
    put32(blk.data() + kLogicalIndexNumber, static_cast<uint32_t>(i));
    put32(blk.data() + kLogicalIndexReal, static_cast<uint32_t>(i));
    put32(blk.data() + kLogicalIndexFkIndex, 0xFFFFFFFFu);
    blk[kLogicalIndexCascadeUpdate] = 0x04;
    blk[kLogicalIndexCascadeDelete] = 0x04;
    blk[kLogicalIndexKind] = ix.primaryKey ? 1 : 0;
    return blk;
}

// The logical definition; pointers and counts are patched when the table
// is written.
Bytes definition(const TableSchema& schema, const Layout& l, bool system) {
    const auto& cols = schema.columns;
    const auto& idx = schema.indexes;
    // The header, then the statistics of each real index.
    Bytes b(kTdefStats + kStatsSize * idx.size(), 0);
    b[0] = kPageTableDef;
    b[1] = 0x01;
    put32(b.data() + kTdefConstant, kTdefMagic);
    b[kTdefAutoNumberFlag] = 0x01;
    b[kTdefTableType] = system ? 'S' : 'N';
    put16(b.data() + kTdefMaxCols, static_cast<uint16_t>(cols.size()));
    put16(b.data() + kTdefNumVar, l.numVar);
    put16(b.data() + kTdefNumCols, static_cast<uint16_t>(cols.size()));
    put32(b.data() + kTdefLogicalCount, static_cast<uint32_t>(idx.size()));
    put32(b.data() + kTdefRealCount, static_cast<uint32_t>(idx.size()));
    for (std::size_t k : l.blockOrder) {
        Bytes blk = columnBlock(cols[k], k, l, system);
        b.insert(b.end(), blk.begin(), blk.end());
    }
    for (std::size_t k : l.blockOrder) appendName(b, cols[k].name);
    for (const auto& ix : idx) {
        Bytes blk = realIndexBlock(schema, ix);
        b.insert(b.end(), blk.begin(), blk.end());
    }
    for (std::size_t i = 0; i < idx.size(); ++i) {
        Bytes blk = logicalIndexBlock(idx[i], i);
        b.insert(b.end(), blk.begin(), blk.end());
    }
    for (const auto& ix : idx) appendName(b, ix.name);
    for (std::size_t k = 0; k < cols.size(); ++k) {
        if (cols[k].type != ColumnType::kMemo && cols[k].type != ColumnType::kOle) continue;
        append16(b, static_cast<uint16_t>(k));
        append32(b, 0);
        append32(b, 0);
    }
    append16(b, 0xFFFF);
    put32(b.data() + kTdefLength, static_cast<uint32_t>(b.size()));
    return b;
}

void validateIndexes(const TableSchema& schema) {
    int primary = 0;
    for (const auto& ix : schema.indexes) {
        if (ix.columns.empty() || ix.columns.size() > 10) {
            fail(ErrorCode::kUnsupported, "Index '" + ix.name + "' must have 1 to 10 columns.");
        }
        primary += ix.primaryKey;
        for (const auto& column : ix.columns) {
            const std::string& name = column.first;
            const std::size_t k = columnIndex(schema, name);
            if (k == schema.columns.size())
                fail(ErrorCode::kUnsupported,
                     "Index '" + ix.name + "' names no column '" + name + "'.");
            const ColumnType t = schema.columns[k].type;
            if (t == ColumnType::kMemo || t == ColumnType::kOle) {
                fail(ErrorCode::kUnsupported,
                     "Memo and OLE columns cannot be indexed ('" + name + "').");
            }
        }
    }
    if (primary > 1)
        fail(ErrorCode::kUnsupported, "Table '" + schema.name + "' has two primary keys.");
}

}  // namespace

void validateTableSchema(const TableSchema& schema) {
    if (schema.name.empty() || schema.columns.empty())
        fail(ErrorCode::kUnsupported, "A table needs a name and columns.");
    std::set<std::string> seen;
    for (const auto& c : schema.columns) {
        if (!seen.insert(c.name).second)
            fail(ErrorCode::kUnsupported,
                 "Table '" + schema.name + "' has two columns named '" + c.name + "'.");
        if (c.type == ColumnType::kText && (c.maxChars == 0 || c.maxChars > 255)) {
            fail(ErrorCode::kUnsupported,
                 "Text column '" + c.name + "' must hold 1 to 255 characters.");
        }
        if (c.autoNumber && c.type != ColumnType::kLong) {
            fail(ErrorCode::kUnsupported,
                 "Only Long columns can be AutoNumbers ('" + c.name + "').");
        }
    }
    validateIndexes(schema);
}

TableDef makeTableDef(const TableSchema& schema, bool system, uint32_t firstPage) {
    TableDef def;
    def.name = schema.name;
    def.firstPage = firstPage;
    def.buffer = definition(schema, layOut(schema, system), system);
    parseTableDef(def);
    return def;
}

std::size_t continuationPages(std::size_t len) {
    return len > kPageSize
               ? (len - kPageSize + kTdefPayloadPerContinuation - 1) / kTdefPayloadPerContinuation
               : 0;
}

}  // namespace jet
