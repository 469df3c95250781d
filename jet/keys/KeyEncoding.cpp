#include "keys/KeyEncoding.h"

#include <algorithm>

#include "format/Row.h"
#include "keys/TextKey.h"

namespace jet {

namespace {
// Key bytes after the flag for the types whose keys have a fixed size.
std::size_t fixedKeySize(uint8_t type) {
    const auto t = static_cast<ColumnType>(type);
    return t == ColumnType::kGuid ? 0 : fixedTypeSize(t);
}

// An ascending binary value: 8-byte groups, the last padded with zeros, each
// followed by 9 when more groups follow, else by the count of its own bytes.
void appendBinaryKeyPart(Bytes& out, ByteView v) {
    out.push_back(0x7F);
    for (std::size_t at = 0; at < v.size(); at += 8) {
        const std::size_t n = std::min<std::size_t>(8, v.size() - at);
        out.insert(out.end(), v.begin() + static_cast<std::ptrdiff_t>(at),
                   v.begin() + static_cast<std::ptrdiff_t>(at + n));
        out.insert(out.end(), 8 - n, 0x00);
        out.push_back(static_cast<uint8_t>(at + 8 < v.size() ? 9 : n));
    }
}
}  // namespace

bool keyEncodable(uint8_t type) {
    switch (static_cast<ColumnType>(type)) {
        case ColumnType::kByte:
        case ColumnType::kInt:
        case ColumnType::kLong:
        case ColumnType::kMoney:
        case ColumnType::kSingle:
        case ColumnType::kDouble:
        case ColumnType::kDateTime:
        case ColumnType::kBool:
            return true;
        default:
            return false;
    }
}

void appendKeyPart(Bytes& out, uint8_t type, bool ascending, const std::optional<ByteView>& stored,
                   bool boolValue) {
    const auto t = static_cast<ColumnType>(type);
    if (t == ColumnType::kBool) {
        out.push_back(ascending ? 0x7F : 0x80);
        uint8_t v = boolValue ? 0x00 : 0xFF;
        out.push_back(ascending ? v : static_cast<uint8_t>(~v));
        return;
    }
    if (!stored) {
        out.push_back(ascending ? 0x00 : 0xFF);
        return;
    }
    out.push_back(ascending ? 0x7F : 0x80);
    const std::size_t n = fixedKeySize(type);
    ByteView v = *stored;
    if (v.size() < n) return;
    const std::size_t at = out.size();
    out.insert(out.end(), v.rbegin() + static_cast<std::ptrdiff_t>(v.size() - n),
               v.rend());  // little- to big-endian
    uint8_t* be = out.data() + at;
    if (t == ColumnType::kByte) {
        // as is
    } else if (t == ColumnType::kSingle || t == ColumnType::kDouble || t == ColumnType::kDateTime) {
        if (be[0] & 0x80) {
            for (std::size_t i = 0; i < n; ++i) be[i] = static_cast<uint8_t>(~be[i]);
        } else {
            be[0] ^= 0x80;
        }
    } else {
        be[0] ^= 0x80;
    }
    if (!ascending) {
        for (std::size_t i = 0; i < n; ++i) be[i] = static_cast<uint8_t>(~be[i]);
    }
}

Bytes encodeKeyPart(uint8_t type, bool ascending, const std::optional<ByteView>& stored,
                    bool boolValue) {
    Bytes out;
    appendKeyPart(out, type, ascending, stored, boolValue);
    return out;
}

std::vector<std::pair<uint8_t, bool>> keyShape(const TableDef& def, const RealIndex& index) {
    std::vector<std::pair<uint8_t, bool>> shape;
    for (const auto& ic : index.columns)
        shape.emplace_back(def.columnByNumber(ic.column)->type, ic.ascending);
    return shape;
}

std::optional<bool> keyHasNullPart(ByteView key,
                                   const std::vector<std::pair<uint8_t, bool>>& shape) {
    auto parts = splitKey(key, shape);
    if (!parts) return std::nullopt;
    for (std::size_t k = 0; k < parts->size(); ++k) {
        if (static_cast<ColumnType>(shape[k].first) != ColumnType::kBool && (*parts)[k].second == 1)
            return true;
    }
    return false;
}

std::optional<std::vector<std::pair<std::size_t, std::size_t>>> splitKey(
    ByteView key, const std::vector<std::pair<uint8_t, bool>>& columns) {
    std::vector<std::pair<std::size_t, std::size_t>> parts;
    if (!splitKeyInto(key, columns, parts)) return std::nullopt;
    return parts;
}

bool splitKeyInto(ByteView key, const std::vector<std::pair<uint8_t, bool>>& columns,
                  std::vector<std::pair<std::size_t, std::size_t>>& parts) {
    parts.clear();
    std::size_t pos = 0;
    for (auto [type, ascending] : columns) {
        if (pos >= key.size()) return false;
        const std::size_t start = pos;
        const uint8_t flag = key[pos++];
        const bool isNull = flag == (ascending ? 0x00 : 0xFF);
        const auto t = static_cast<ColumnType>(type);
        if (isNull && t != ColumnType::kBool) {
            parts.emplace_back(start, 1);
            continue;
        }
        if (flag != (ascending ? 0x7F : 0x80)) return false;
        if (std::size_t n = fixedKeySize(type); n > 0) {
            pos += n;
        } else if (t == ColumnType::kText || t == ColumnType::kMemo) {
            if (ascending) {
                while (pos < key.size() && key[pos] != 0x00) ++pos;
                ++pos;
            } else {
                while (pos < key.size() && key[pos] != 0xFF) ++pos;
                pos += 2;
            }
        } else if (t == ColumnType::kBinary || t == ColumnType::kGuid) {
            if (!ascending) return false;
            for (;;) {
                pos += 9;
                if (pos > key.size()) return false;
                if (key[pos - 1] != 9) break;
            }
        } else {
            return false;
        }
        if (pos > key.size()) return false;
        parts.emplace_back(start, pos - start);
    }
    return pos == key.size();
}

std::optional<Bytes> encodeRowKey(const TableDef& def, const RealIndex& index, const RowView& row,
                                  uint32_t page, int rowNumber, bool generalOrder, SharpS sharpS) {
    Bytes key;
    for (const auto& ic : index.columns) {
        const Column* c = def.columnByNumber(ic.column);
        if (!c) return std::nullopt;
        const auto t = static_cast<ColumnType>(c->type);
        if (c->isBool()) {
            appendKeyPart(key, c->type, ic.ascending, std::nullopt, boolValue(*c, row));
            continue;
        }
        auto stored = columnBytes(def, *c, row, page, rowNumber);
        if (t == ColumnType::kText) {
            if (!generalOrder && !isGeneralLegacy(c->sortLcid, c->sortVersion)) return std::nullopt;
            if (!stored) {
                key.push_back(ic.ascending ? 0x00 : 0xFF);
            } else {
                appendStoredTextKey(key, *stored, ic.ascending, sharpS);
            }
        } else if (keyEncodable(c->type)) {
            appendKeyPart(key, c->type, ic.ascending, stored);
        } else if (t == ColumnType::kBinary && ic.ascending && (!stored || !stored->empty())) {
            if (stored) {
                appendBinaryKeyPart(key, *stored);
            } else {
                key.push_back(0x00);
            }
        } else {
            return std::nullopt;
        }
    }
    return key;
}

}  // namespace jet
