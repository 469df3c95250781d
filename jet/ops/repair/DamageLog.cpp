#include "ops/repair/DamageLog.h"

#include <cctype>
#include <cstdio>

#include "format/Row.h"
#include "read/Database.h"
#include "read/Value.h"

namespace jet {

namespace {

constexpr std::size_t kValueLimit = 4000;  // characters of one value in a description
constexpr std::size_t kTextLimit = 60000;  // characters of a description

std::string where(RowPtr at) {
    return "page " + std::to_string(at.page) + ", row " + std::to_string(at.row);
}

std::string hex(ByteView b) {
    static const char* kDigits = "0123456789abcdef";
    std::string out;
    out.reserve(2 * b.size());
    for (uint8_t v : b) {
        out.push_back(kDigits[v >> 4]);
        out.push_back(kDigits[v & 15]);
    }
    return out;
}

std::string clip(std::string s, std::size_t limit) {
    if (s.size() <= limit) return s;
    s.resize(limit);
    return s + "...";
}

// The fixed columns of a row that does not crack, read where its bytes
// reach: the row's bytes followed by a null mask that says every column
// holds a value.
std::string fixedValues(Database& db, const TableDef& def, ByteView row, RowPtr at) {
    Bytes bytes(row.begin(), row.end());
    bytes.resize(row.size() + (def.maxCols + 7u) / 8u, 0xFF);
    RowView rv;
    rv.bytes = bytes;
    rv.ncols = def.maxCols;
    rv.maskOffset = row.size();
    rv.fixedEnd = row.size();
    std::string out;
    for (std::size_t index : def.numberOrder) {
        const Column& c = def.columns[index];
        if (!c.fixed() || c.isBool() || 2u + c.fixedOffset + c.length > row.size()) continue;
        try {
            out += (out.empty() ? "" : ", ") + jsonString(c.name) + ": " +
                   columnJson(db, def, c, rv, at.page, at.row);
        } catch (const JetException&) {
        }
    }
    return out;
}

int32_t codeOf(SalvageIssue::Kind k) {
    return static_cast<int32_t>(k == SalvageIssue::Kind::kKeyClash ? ErrorCode::kDuplicateKey
                                                                   : ErrorCode::kDamaged);
}

std::string lead(SalvageIssue::Kind k) {
    switch (k) {
        case SalvageIssue::Kind::kRowDropped:
            return "Row dropped";
        case SalvageIssue::Kind::kValueNulled:
            return "Row kept with a value set to null";
        case SalvageIssue::Kind::kKeyClash:
            return "Row dropped: it clashes on a unique key";
        case SalvageIssue::Kind::kRowLeftOut:
            return "Row not copied";
        case SalvageIssue::Kind::kPageLost:
            return "Rows lost";
        case SalvageIssue::Kind::kRowsMissing:
            return "Rows missing";
        case SalvageIssue::Kind::kRowForeign:
            return "Row left out as foreign";
        case SalvageIssue::Kind::kRowsMovedBack:
            return "Rows moved back";
        case SalvageIssue::Kind::kSecondReference:
            return "Second reference left out";
        case SalvageIssue::Kind::kRowRestored:
            return "Deleted row brought back";
        case SalvageIssue::Kind::kDeleteKept:
            return "Deleted row kept deleted";
        case SalvageIssue::Kind::kIndexReordered:
            return "Index sort order changed";
    }
    return "Damage";
}

}  // namespace

std::string describeRow(Database& db, const TableDef& def, ByteView row, RowPtr at) {
    std::string values;
    RowView rv;
    if (tryCrackRow(def, row, rv) == nullptr) {
        for (std::size_t index : def.numberOrder) {
            const Column& c = def.columns[index];
            std::string v;
            try {
                v = clip(columnJson(db, def, c, rv, at.page, at.row), kValueLimit);
            } catch (const JetException&) {
                v = "(cannot be read)";
            }
            values += (values.empty() ? "" : ", ") + jsonString(c.name) + ": " + v;
        }
    } else {
        values = fixedValues(db, def, row, at);
        if (values.empty()) values = "(no column can be told apart)";
    }
    return "Values: {" + values + "}. Bytes: " + clip(hex(row), 2 * kValueLimit);
}

void DamageLog::addIssues(Database& db, const TableDef& def,
                          const std::vector<SalvageIssue>& issues) {
    for (const SalvageIssue& i : issues) {
        DamageEntry e;
        e.code = codeOf(i.kind);
        e.table = def.name;
        using K = SalvageIssue::Kind;
        const bool row = i.kind != K::kPageLost && i.kind != K::kRowsMissing &&
                         i.kind != K::kRowsMovedBack && i.kind != K::kIndexReordered;
        std::string text = lead(i.kind) + " (table '" + def.name + "', " +
                           (row ? where(i.at) : "page " + std::to_string(i.at.page)) +
                           "): " + i.what + ".";
        if (row) {
            e.recid.resize(4);
            put32(e.recid.data(), i.at.toU32());
            // A foreign row is no row of the table: its bytes alone say what it was.
            text += " " + (i.kind == K::kRowForeign ? "Bytes: " + clip(hex(i.row), 2 * kValueLimit)
                                                    : describeRow(db, def, i.row, i.at));
        }
        e.description = clip(std::move(text), kTextLimit);
        add(std::move(e));
    }
}

TableSchema compactErrorSchema() {
    TableSchema t;
    t.name = kCompactErrorTable;
    t.columns = {{"ErrorCode", ColumnType::kLong, 255, false},
                 {"ErrorDescription", ColumnType::kMemo, 255, false},
                 {"ErrorRecid", ColumnType::kBinary, 255, false},
                 {"ErrorTable", ColumnType::kText, 255, false}};
    return t;
}

std::vector<Value> compactErrorRow(const TableDef& def, const DamageEntry& e) {
    std::vector<Value> v(def.maxCols);
    auto set = [&](const char* name, Value value) {
        for (const auto& c : def.columns) {
            std::string a = c.name, b = name;
            for (auto& ch : a) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            for (auto& ch : b) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            if (a == b) v[c.number] = std::move(value);
        }
    };
    set("ErrorCode", static_cast<int64_t>(e.code));
    set("ErrorDescription", e.description);
    if (!e.recid.empty()) set("ErrorRecid", e.recid);
    if (!e.table.empty()) set("ErrorTable", e.table.substr(0, 255));
    return v;
}

}  // namespace jet
