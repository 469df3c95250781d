#include "read/Value.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "format/LongValue.h"
#include "format/Row.h"
#include "format/Text.h"
#include "read/Database.h"

namespace jet {

std::string formatDate(double days) {
    if (!std::isfinite(days) || days < -657434.0 || days > 2958465.9999999) {
        return "invalid date";
    }
    // Whole days count from 1899-12-30; the fraction is the time of day, with
    // the same sign as the date (as the platform stores dates before 1899).
    double whole = std::trunc(days);
    double frac = std::fabs(days - whole);
    long long seconds = std::llround(frac * 86400.0);
    long long day = static_cast<long long>(whole);
    if (seconds >= 86400) {
        seconds -= 86400;
        day += days < 0 ? -1 : 1;
    }
    // Civil date from days since 1970-01-01 (1899-12-30 is day -25569).
    long long z = day - 25569 + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = yoe + era * 400;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long d = doy - (153 * mp + 2) / 5 + 1;
    long long m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
    char buf[128];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", y, m, d,
                  seconds / 3600, (seconds / 60) % 60, seconds % 60);
    return buf;
}

std::string formatDecimal(ByteView stored, uint8_t scale) {
    if (stored.size() < 17) return "null";
    // Sign byte, then the 128-bit magnitude as four little-endian 32-bit
    // words, the most significant first.
    uint32_t words[4];
    for (int k = 0; k < 4; ++k) words[k] = u32(stored, 1 + 4 * static_cast<std::size_t>(k));
    std::string digits;
    bool zero = false;
    while (!zero) {
        uint64_t rem = 0;
        zero = true;
        for (auto& w : words) {
            uint64_t cur = (rem << 32) | w;
            w = static_cast<uint32_t>(cur / 10);
            rem = cur % 10;
            if (w != 0) zero = false;
        }
        digits.push_back(static_cast<char>('0' + rem));
    }
    while (digits.size() <= scale) digits.push_back('0');
    std::reverse(digits.begin(), digits.end());
    if (scale > 0) digits.insert(digits.end() - scale, '.');
    if ((stored[0] & 0x80) != 0 && digits.find_first_not_of("0.") != std::string::npos) {
        digits.insert(digits.begin(), '-');
    }
    return digits;
}

std::string base64(ByteView data) {
    static const char* kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        uint32_t v = (static_cast<uint32_t>(data[i]) << 16) |
                     (static_cast<uint32_t>(data[i + 1]) << 8) | data[i + 2];
        for (int s = 18; s >= 0; s -= 6) out.push_back(kAlphabet[(v >> s) & 63]);
    }
    if (i < data.size()) {
        uint32_t v = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<uint32_t>(data[i + 1]) << 8;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::string jsonString(const std::string& utf8) {
    std::string out = "\"";
    for (char ch : utf8) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    out += "\"";
    return out;
}

namespace {

std::string number(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string money(int64_t scaled) {
    bool negative = scaled < 0;
    uint64_t mag = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s%llu.%04llu", negative ? "-" : "",
                  static_cast<unsigned long long>(mag / 10000),
                  static_cast<unsigned long long>(mag % 10000));
    return buf;
}

std::string guid(ByteView b) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "\"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\"",
                  u32(b, 0), u16(b, 4), u16(b, 6), b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                  b[15]);
    return buf;
}

}  // namespace

std::string columnJson(Database& db, const TableDef& def, const Column& col, const RowView& row,
                       uint32_t page, int rowNumber) {
    if (col.isBool()) return boolValue(col, row) ? "true" : "false";
    auto stored = columnBytes(def, col, row, page, rowNumber);
    if (!stored) return "null";
    ByteView b = *stored;
    auto need = [&](std::size_t n) {
        if (b.size() < n) {
            failDamage("table '" + def.name + "', column '" + col.name + "': value too short", page,
                       rowNumber);
        }
    };
    switch (static_cast<ColumnType>(col.type)) {
        case ColumnType::kByte:
            need(1);
            return std::to_string(b[0]);
        case ColumnType::kInt:
            need(2);
            return std::to_string(static_cast<int16_t>(u16(b, 0)));
        case ColumnType::kLong:
            if (b.empty()) return "null";
            need(4);
            return std::to_string(static_cast<int32_t>(u32(b, 0)));
        case ColumnType::kMoney:
            need(8);
            return money(static_cast<int64_t>(u64(b, 0)));
        case ColumnType::kSingle:
            need(4);
            return number(static_cast<double>(f32(b, 0)));
        case ColumnType::kDouble:
            need(8);
            return number(f64(b, 0));
        case ColumnType::kDateTime:
            need(8);
            return "\"" + formatDate(f64(b, 0)) + "\"";
        case ColumnType::kGuid:
            need(16);
            return guid(b);
        case ColumnType::kNumeric:
            need(17);
            return formatDecimal(b, col.scale);
        case ColumnType::kText:
            return jsonString(utf16ToUtf8(decodeText(b)));
        case ColumnType::kMemo:
            if (b.empty()) return "null";
            return jsonString(
                utf16ToUtf8(decodeText(readLongValue(db.file(), b, page, rowNumber))));
        case ColumnType::kOle:
            if (b.empty()) return "null";
            return "{\"$binary\": \"" + base64(readLongValue(db.file(), b, page, rowNumber)) +
                   "\"}";
        default:
            return "{\"$binary\": \"" + base64(b) + "\"}";
    }
}

void dumpTable(Database& db, const TableDef& def, std::ostream& out) {
    db.scanRows(def, [&](const RowLocation& at, ByteView bytes) {
        RowView rv = crackRow(def, bytes, at.data.page, at.data.row);
        out << '{';
        bool first = true;
        for (std::size_t index : def.numberOrder) {
            const Column* c = &def.columns[index];
            if (!first) out << ", ";
            first = false;
            out << jsonString(c->name) << ": "
                << columnJson(db, def, *c, rv, at.data.page, at.data.row);
        }
        out << "}\n";
        if (!out) fail(ErrorCode::kIo, "Cannot write the dump: its reader has gone.");
    });
}

}  // namespace jet
