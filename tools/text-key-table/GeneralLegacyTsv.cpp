#include "GeneralLegacyTsv.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace keytable {

namespace {

using jet::TextKeyClass;
using jet::TextKeyCode;
using jet::TextKeyRun;

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == '\t')
            out.emplace_back();
        else if (c != '\r')
            out.back().push_back(c);
    }
    return out;
}

// Hex bytes separated by spaces; false when malformed or more than max.
bool hexBytes(const std::string& s, std::size_t max, uint8_t* out, uint8_t& length) {
    std::istringstream in(s);
    std::string b;
    length = 0;
    while (in >> b) {
        if (b.size() != 2 || length == max) return false;
        char* end = nullptr;
        const unsigned long v = std::strtoul(b.c_str(), &end, 16);
        if (*end != '\0') return false;
        out[length++] = static_cast<uint8_t>(v);
    }
    return true;
}

bool parseClass(const std::string& s, TextKeyClass& cls) {
    static const std::pair<const char*, TextKeyClass> kNames[] = {
        {"ignored", TextKeyClass::kIgnored},
        {"simple", TextKeyClass::kSimple},
        {"international", TextKeyClass::kInternational},
        {"special", TextKeyClass::kSpecial},
        {"modifier", TextKeyClass::kModifier},
        {"kana", TextKeyClass::kKana},
    };
    for (const auto& [name, c] : kNames) {
        if (s == name) {
            cls = c;
            return true;
        }
    }
    return false;
}

// Whether a code has the bytes its class calls for.
bool wellFormed(const TextKeyCode& c) {
    switch (c.cls) {
        case TextKeyClass::kIgnored:
            return c.primaryLength == 0 && c.extraLength == 0;
        case TextKeyClass::kSimple:
            return c.primaryLength > 0 && c.extraLength == 0;
        case TextKeyClass::kInternational:
            return c.primaryLength > 0 && c.extraLength > 0;
        case TextKeyClass::kSpecial:
            return c.primaryLength == 0 && c.extraLength > 0;
        case TextKeyClass::kModifier:
            return c.primaryLength == 0 && c.extraLength == 1;
        case TextKeyClass::kKana:
            return c.primaryLength > 0;
        case TextKeyClass::kSurrogate:  // computed, never listed
        case TextKeyClass::kNone:
            break;
    }
    return false;
}

// One line of the table; false (error set) when it is not as the header says.
bool parseLine(const std::string& line, std::size_t expectUnit, TextKeyCode& c,
               std::string& error) {
    const auto f = splitTabs(line);
    char unit[16];
    std::snprintf(unit, sizeof unit, "U+%04zX", expectUnit);
    if (f.size() != 5 || f[0] != unit) {
        error = std::string("expected the line of ") + unit;
        return false;
    }
    if (!parseClass(f[1], c.cls)) {
        error = "unknown class '" + f[1] + "'";
        return false;
    }
    if (!hexBytes(f[2], 4, c.primary.data(), c.primaryLength) ||
        !hexBytes(f[3], 2, c.extra.data(), c.extraLength)) {
        error = "malformed bytes";
        return false;
    }
    if (f[4] != "" && !(f[4] == "1" && c.cls == TextKeyClass::kKana)) {
        error = "unexpected kana flag '" + f[4] + "'";
        return false;
    }
    if (c.cls == TextKeyClass::kKana) c.kanaFlag = f[4] == "1" ? 2 : 3;
    if (!wellFormed(c)) {
        error = "bytes that do not fit the class";
        return false;
    }
    return true;
}

// The unit listed after unit (the surrogates are not listed).
std::size_t nextListed(std::size_t unit) {
    return unit + 1 == jet::kFirstSurrogate ? std::size_t{jet::kLastSurrogate} + 1 : unit + 1;
}

}  // namespace

std::vector<TextKeyCode> readGeneralLegacyTsv(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return {};
    }
    std::vector<TextKeyCode> codes(jet::kTextKeyUnits);
    std::size_t unit = 0;
    std::string line;
    bool header = false;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        if (!header) {
            header = line.rfind("code_unit\tclass\tprimary\textra\tkana_flag", 0) == 0;
            if (!header) {
                error = path + ":" + std::to_string(number) + ": no header line";
                return {};
            }
            continue;
        }
        if (unit == jet::kTextKeyUnits || !parseLine(line, unit, codes[unit], error)) {
            error = path + ":" + std::to_string(number) + ": " +
                    (error.empty() ? "a line past U+FFFF" : error);
            return {};
        }
        unit = nextListed(unit);
    }
    if (unit != jet::kTextKeyUnits) {
        char last[16];
        std::snprintf(last, sizeof last, "U+%04zX", unit);
        error = path + ": the table ends before " + last;
        return {};
    }
    return codes;
}

namespace {

uint32_t bigEndian(const uint8_t* b, uint8_t n) {
    uint32_t v = 0;
    for (uint8_t i = 0; i < n; ++i) v = v << 8 | b[i];
    return v;
}

// A run of one unit.
TextKeyRun singleRun(const TextKeyCode& c, std::size_t unit) {
    return TextKeyRun{static_cast<uint16_t>(unit),
                      1,
                      c.cls,
                      c.primaryLength,
                      bigEndian(c.primary.data(), c.primaryLength),
                      0,
                      c.extraLength,
                      static_cast<uint16_t>(bigEndian(c.extra.data(), c.extraLength)),
                      0,
                      c.kanaFlag};
}

// The run from codes[at] with the steps of its first two units, as long as
// it gives them back exactly and stops before end.
TextKeyRun longestRun(const std::vector<TextKeyCode>& codes, std::size_t at, std::size_t end) {
    TextKeyRun run = singleRun(codes[at], at);
    if (at + 1 == end) return run;
    const TextKeyCode& a = codes[at];
    const TextKeyCode& b = codes[at + 1];
    if (a.cls != b.cls || a.primaryLength != b.primaryLength || a.extraLength != b.extraLength ||
        a.kanaFlag != b.kanaFlag)
        return run;
    const auto pa = static_cast<int64_t>(jet::primaryOrdinal(a.primary, a.primaryLength));
    const auto pb = static_cast<int64_t>(jet::primaryOrdinal(b.primary, b.primaryLength));
    const auto ea = static_cast<int64_t>(bigEndian(a.extra.data(), a.extraLength));
    const auto eb = static_cast<int64_t>(bigEndian(b.extra.data(), b.extraLength));
    if (pb - pa < INT32_MIN || pb - pa > INT32_MAX || eb - ea < INT16_MIN || eb - ea > INT16_MAX)
        return run;
    run.primaryStep = static_cast<int32_t>(pb - pa);
    run.extraStep = static_cast<int16_t>(eb - ea);
    uint32_t n = 1;
    while (at + n < end && n < UINT16_MAX && jet::textKeyCodeInRun(run, n) == codes[at + n]) ++n;
    if (n == 1) return singleRun(a, at);
    run.count = static_cast<uint16_t>(n);
    return run;
}

}  // namespace

std::vector<TextKeyRun> makeRuns(const std::vector<TextKeyCode>& codes) {
    std::vector<TextKeyRun> runs;
    const std::size_t listed[][2] = {{0, jet::kFirstSurrogate},
                                     {std::size_t{jet::kLastSurrogate} + 1, codes.size()}};
    for (const auto& [from, end] : listed) {
        for (std::size_t at = from; at < end; at += runs.back().count)
            runs.push_back(longestRun(codes, at, end));
    }
    return runs;
}

std::string runsSource(const std::vector<TextKeyRun>& runs) {
    static const char kClassLetter[] = {'?', 'X', 'S', 'I', 'U', 'P', 'Z', '?'};
    std::string out =
        "// The General (legacy) sort order's table of code units, generated by\n"
        "// tools/text-key-table from general-legacy.tsv: do not edit. One run a line:\n"
        "// first unit, units, class, primary length, primary bytes, primary step,\n"
        "// diacritic length, diacritic bytes, diacritic step, kana flag.\n"
        "// The surrogates, U+D800 to U+DFFF, are computed and not listed.\n"
        "// clang-format off\n"
        "constexpr TextKeyRun kGeneralLegacyRuns[] = {\n";
    char line[160];
    for (const TextKeyRun& r : runs) {
        std::snprintf(line, sizeof line, "{0x%04X,%u,%c,%u,0x%X,%d,%u,0x%X,%d,%u},\n", r.first,
                      r.count, kClassLetter[static_cast<int>(r.cls)], r.primaryLength, r.primary,
                      r.primaryStep, r.extraLength, r.extra, r.extraStep, r.kanaFlag);
        out += line;
    }
    out += "};\n// clang-format on\n";
    return out;
}

}  // namespace keytable
