#include "write/RowEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "format/LongValue.h"
#include "format/Row.h"
#include "format/Text.h"
#include "util/Failure.h"

namespace jet {

namespace {

// Writes one value of a column into its place in the row.
class ValueWriter {
  public:
    ValueWriter(const TableDef& def, const Column& c, const Value& v) : def_(def), c_(c), v_(v) {}

    void fixed(uint8_t* f) const {
        switch (static_cast<ColumnType>(c_.type)) {
            case ColumnType::kByte:
                f[0] = static_cast<uint8_t>(whole(0, 255));
                break;
            case ColumnType::kInt:
                put16(f, static_cast<uint16_t>(whole(-32768, 32767)));
                break;
            case ColumnType::kLong:
                put32(f, static_cast<uint32_t>(whole(INT32_MIN, INT32_MAX)));
                break;
            case ColumnType::kMoney: {
                int64_t scaled = std::holds_alternative<int64_t>(v_)
                                     ? std::get<int64_t>(v_)
                                     : std::llround(number() * 10000.0);
                put64(f, static_cast<uint64_t>(scaled));
                break;
            }
            case ColumnType::kSingle: {
                float x = static_cast<float>(number());
                uint32_t bits;
                std::memcpy(&bits, &x, 4);
                put32(f, bits);
                break;
            }
            case ColumnType::kDouble:
            case ColumnType::kDateTime: {
                double x = number();
                uint64_t bits;
                std::memcpy(&bits, &x, 8);
                put64(f, bits);
                break;
            }
            case ColumnType::kGuid: {
                if (!std::holds_alternative<Bytes>(v_) || std::get<Bytes>(v_).size() != 16)
                    bad("a 16-byte identifier is needed");
                std::memcpy(f, std::get<Bytes>(v_).data(), 16);
                break;
            }
            default:
                bad("this type is not supported");
        }
    }

    // The stored bytes of a variable-length value.
    Bytes variable() const {
        const bool compress = (c_.extFlags & 0x01) != 0;
        switch (static_cast<ColumnType>(c_.type)) {
            case ColumnType::kText: {
                std::u16string u = text();
                if (u.size() > c_.length / 2u) bad("the text is longer than the column allows");
                return storeText(u, compress);
            }
            case ColumnType::kBinary: {
                if (!std::holds_alternative<Bytes>(v_)) bad("bytes are needed");
                if (std::get<Bytes>(v_).size() > 510) bad("binary values hold at most 510 bytes");
                return std::get<Bytes>(v_);
            }
            case ColumnType::kMemo: {
                Bytes data = storeText(text(), compress);
                if (data.size() > 0x3FFFFFFF) bad("the value is too long");
                return data;
            }
            case ColumnType::kOle: {
                if (!std::holds_alternative<Bytes>(v_)) bad("bytes are needed");
                if (std::get<Bytes>(v_).size() > 0x3FFFFFFF) bad("the value is too long");
                return std::get<Bytes>(v_);
            }
            default:
                bad("this type is not supported");
        }
    }

    [[noreturn]] void bad(const char* why) const {
        fail(ErrorCode::kUnsupported,
             "Column '" + c_.name + "' of table '" + def_.name + "': " + why + ".");
    }

  private:
    static void put64(uint8_t* p, uint64_t v) {
        put32(p, static_cast<uint32_t>(v));
        put32(p + 4, static_cast<uint32_t>(v >> 32));
    }
    int64_t whole(int64_t lo, int64_t hi) const {
        if (!std::holds_alternative<int64_t>(v_)) bad("a whole number is needed");
        int64_t x = std::get<int64_t>(v_);
        if (x < lo || x > hi) bad("the number is out of range");
        return x;
    }
    double number() const {
        if (std::holds_alternative<double>(v_)) return std::get<double>(v_);
        if (std::holds_alternative<int64_t>(v_)) return static_cast<double>(std::get<int64_t>(v_));
        bad("a number is needed");
    }
    std::u16string text() const {
        if (!std::holds_alternative<std::string>(v_)) bad("text is needed");
        std::u16string u;
        if (!utf8ToUtf16(std::get<std::string>(v_), u)) bad("the text is not valid UTF-8");
        return u;
    }

    const TableDef& def_;
    const Column& c_;
    const Value& v_;
};

// The size of the fixed area: every fixed column's bytes but Yes/No's.
std::size_t fixedAreaSize(const TableDef& def) {
    std::size_t n = 0;
    for (const auto& c : def.columns) {
        if (c.fixed() && !c.isBool()) n = std::max<std::size_t>(n, c.fixedOffset + c.length);
    }
    return n;
}

}  // namespace

Bytes storeText(const std::u16string& u, bool compress) {
    Bytes out;
    bool oneByte = compress && !u.empty() && std::all_of(u.begin(), u.end(), [](char16_t c) {
                       return c >= 0x01 && c <= 0xFF;
                   });
    if (oneByte) {
        out = {0xFF, 0xFE};
        for (char16_t c : u) out.push_back(static_cast<uint8_t>(c));
        return out;
    }
    for (char16_t c : u) append16(out, c);
    return out;
}

void encodeRow(const TableDef& def, const std::vector<Value>& byNumber, EncodedRow& out) {
    out.fixed.assign(fixedAreaSize(def), 0);
    out.variable.assign(def.numVar, Bytes{});
    out.mask.assign((static_cast<std::size_t>(def.maxCols) + 7) / 8, 0);
    out.longValues.clear();
    static const Value kNull;
    for (std::size_t index : def.numberOrder) {
        const Column& c = def.columns[index];
        const Value& v = c.number < byNumber.size() ? byNumber[c.number] : kNull;
        const ValueWriter w(def, c, v);
        auto setBit = [&] {
            out.mask[c.number / 8] = static_cast<uint8_t>(out.mask[c.number / 8] | (1u << (c.number % 8)));
        };
        if (c.isBool()) {
            if (std::holds_alternative<bool>(v) && std::get<bool>(v))
                setBit();
            else if (!std::holds_alternative<bool>(v) && !std::holds_alternative<std::monostate>(v))
                w.bad("Yes/No takes true or false");
            continue;
        }
        if (std::holds_alternative<std::monostate>(v)) continue;
        setBit();
        if (c.fixed()) {
            w.fixed(out.fixed.data() + c.fixedOffset);
        } else if (c.isLongValue()) {
            out.longValues.push_back({c.number, c.varIndex, w.variable()});
        } else {
            out.variable[c.varIndex] = w.variable();
        }
    }
}

}  // namespace jet

namespace jet {

Bytes encodeRowBytes(const TableDef& def, const std::vector<Value>& byNumber) {
    EncodedRow enc;
    encodeRow(def, byNumber, enc);
    for (const PendingLongValue& lv : enc.longValues) {
        Bytes& slot = enc.variable[lv.slot];
        slot.assign(kLongValueHeaderSize, 0);
        put32(slot.data(), static_cast<uint32_t>(lv.data.size()) |
                               (static_cast<uint32_t>(kLvInline) << 24));
        slot.insert(slot.end(), lv.data.begin(), lv.data.end());
    }
    return buildRow(def.maxCols, enc.fixed, enc.variable, enc.mask, def.numVar > 0);
}

}  // namespace jet
