#include "read/Value.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "format/Date.h"
#include "format/LongValue.h"
#include "format/Row.h"
#include "format/Text.h"
#include "read/Database.h"

namespace jet {

std::string formatDate(double stored) {
    using namespace std::chrono;
    // Years 100 to 9999, as the platform allows.
    constexpr double kFirst = dateValue(year{100} / 1 / 1);
    constexpr double kLast = dateValue(year{9999} / 12 / 31) + 0.9999999;
    if (!std::isfinite(stored) || stored < kFirst || stored > kLast) return "invalid date";
    // The fraction is the time of day, with the same sign as the date (as
    // the platform stores dates before 1899-12-30).
    const double whole = std::trunc(stored);
    sys_days day = kDateEpoch + days{static_cast<days::rep>(whole)};
    seconds time{std::llround(std::fabs(stored - whole) * 86400.0)};
    if (time >= days{1}) {
        time -= days{1};
        day += days{stored < 0 ? -1 : 1};
    }
    const year_month_day date{day};
    const hh_mm_ss clock{time};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
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
            failDamage(damagedTable(def), ", column '" + col.name + "': value too short", page,
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
            return jsonString(formatDate(f64(b, 0)));
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
