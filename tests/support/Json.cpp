#include "support/Json.h"

#include <cctype>

#include "format/Text.h"

namespace testsupport {

namespace {

struct Parser {
    const std::string& s;
    size_t i = 0;

    void ws() {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    }
    bool eat(char c) {
        ws();
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
    static void appendUtf8(std::string& out, unsigned cp) {
        std::u16string units;
        if (cp >= 0x10000) {
            units = {static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)),
                     static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF))};
        } else {
            units = {static_cast<char16_t>(cp)};
        }
        out += jet::utf16ToUtf8(units);
    }
    std::optional<std::string> str() {
        if (!eat('"')) return std::nullopt;
        std::string out;
        while (i < s.size() && s[i] != '"') {
            if (s[i] == '\\') {
                ++i;
                if (i >= s.size()) return std::nullopt;
                char e = s[i++];
                switch (e) {
                    case 'n':
                        out.push_back('\n');
                        break;
                    case 'r':
                        out.push_back('\r');
                        break;
                    case 't':
                        out.push_back('\t');
                        break;
                    case 'b':
                        out.push_back('\b');
                        break;
                    case 'f':
                        out.push_back('\f');
                        break;
                    case 'u': {
                        if (i + 4 > s.size()) return std::nullopt;
                        unsigned cp =
                            static_cast<unsigned>(std::stoul(s.substr(i, 4), nullptr, 16));
                        i += 4;
                        if (cp >= 0xD800 && cp <= 0xDBFF && i + 6 <= s.size() && s[i] == '\\' &&
                            s[i + 1] == 'u') {
                            unsigned lo =
                                static_cast<unsigned>(std::stoul(s.substr(i + 2, 4), nullptr, 16));
                            i += 6;
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                        }
                        appendUtf8(out, cp);
                        break;
                    }
                    default:
                        out.push_back(e);
                }
            } else {
                out.push_back(s[i++]);
            }
        }
        if (i >= s.size()) return std::nullopt;
        ++i;
        return out;
    }
    std::optional<JsonValue> value() {
        ws();
        JsonValue v;
        if (i >= s.size()) return std::nullopt;
        if (s[i] == '"') {
            auto t = str();
            if (!t) return std::nullopt;
            v.kind = JsonValue::kString;
            v.text = *t;
        } else if (s[i] == '{') {
            // {"$binary": "...", "$type": "00"}: only the data counts.
            ++i;
            v.kind = JsonValue::kBinary;
            do {
                auto k = str();
                if (!k || !eat(':')) return std::nullopt;
                auto t = str();
                if (!t) return std::nullopt;
                if (*k == "$binary") v.text = *t;
            } while (eat(','));
            if (!eat('}')) return std::nullopt;
        } else if (s.compare(i, 4, "null") == 0) {
            i += 4;
        } else if (s.compare(i, 4, "true") == 0) {
            i += 4;
            v.kind = JsonValue::kBool;
            v.boolean = true;
        } else if (s.compare(i, 5, "false") == 0) {
            i += 5;
            v.kind = JsonValue::kBool;
        } else {
            size_t start = i;
            while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '-' ||
                                    s[i] == '+' || s[i] == '.' || s[i] == 'e' || s[i] == 'E')) {
                ++i;
            }
            if (start == i) return std::nullopt;
            v.kind = JsonValue::kNumber;
            v.text = s.substr(start, i - start);
        }
        return v;
    }
};

}  // namespace

std::optional<JsonObject> parseJsonObject(const std::string& line) {
    Parser p{line};
    if (!p.eat('{')) return std::nullopt;
    JsonObject obj;
    if (p.eat('}')) return obj;
    do {
        auto k = p.str();
        if (!k || !p.eat(':')) return std::nullopt;
        auto v = p.value();
        if (!v) return std::nullopt;
        obj[*k] = *v;
    } while (p.eat(','));
    if (!p.eat('}')) return std::nullopt;
    return obj;
}

}  // namespace testsupport
