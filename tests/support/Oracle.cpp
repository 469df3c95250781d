#include "support/Oracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "jet/Check.h"
#include "support/Fixtures.h"

namespace testsupport {

namespace {
// Where mdbtools cannot run, a test that asks it fails rather than passing
// on no rows: it must skip there (SKIP_WITHOUT_MDBTOOLS).
bool oracleThere() {
    if (haveShell()) return true;
    ADD_FAILURE() << "mdbtools was asked where it cannot run: SKIP_WITHOUT_MDBTOOLS() first";
    return false;
}
}  // namespace

std::vector<std::string> mdbTables(const std::string& file) {
    if (!oracleThere()) return {};
    std::string out;
    runCommand("mdb-tables -1 " + shellQuote(file) + " 2>/dev/null", out);
    std::vector<std::string> tables;
    std::stringstream ss(out);
    std::string line;
    while (std::getline(ss, line)) {
        if (!line.empty()) tables.push_back(line);
    }
    return tables;
}

namespace {
std::string base64Decode(const std::string& in) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : in) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else
            continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

// A Replication ID's text without its hyphens; other text unchanged.
std::string guidDigits(const std::string& s) {
    if (s.size() < 37 || s.size() > 38 || s.front() != '{' || s.back() != '}') return s;
    std::string out;
    for (char c : s) {
        if (c != '-') out.push_back(c);
    }
    return out;
}

// One value in the canonical form rows are compared in; nullopt for null.
std::optional<std::string> canonicalValue(const nlohmann::json& v) {
    if (v.is_null()) return std::nullopt;
    if (v.is_boolean()) return v.get<bool>() ? "1" : "0";
    if (v.is_number()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.6g", v.get<double>());
        return buf;
    }
    if (v.is_string()) return "s:" + guidDigits(v.get<std::string>());
    if (v.is_object() && v.contains("$binary") && v["$binary"].is_string()) {
        // mdbtools gives a Replication ID as the bytes of its text form, and
        // leaves out the fourth hyphen.
        const std::string data = v["$binary"].get<std::string>();
        const std::string text = base64Decode(data);
        const bool guid =
            text.size() >= 37 && text.size() <= 38 && text.front() == '{' && text.back() == '}';
        return guid ? "s:" + guidDigits(text) : "b:" + data;
    }
    return "unexpected: " + v.dump();
}

}  // namespace

std::vector<std::string> canonicalRows(const std::string& jsonLines) {
    std::vector<std::string> rows;
    std::stringstream ss(jsonLines);
    std::string line;
    while (std::getline(ss, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto obj = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
        if (!obj.is_object()) {
            rows.push_back("unparsable: " + line);
            continue;
        }
        // Members in name order, as the object keeps them.
        std::string canon;
        for (const auto& [k, v] : obj.items()) {
            if (auto val = canonicalValue(v)) canon += k + "=" + *val + "\x1f";
        }
        rows.push_back(canon);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<std::string> mdbRows(const std::string& file, const std::string& table) {
    if (!oracleThere()) return {};
    std::string out;
    runCommand("mdb-json -T '%Y-%m-%d %H:%M:%S' " + shellQuote(file) + " " + shellQuote(table) +
                   " 2>/dev/null",
               out);
    return canonicalRows(out);
}

std::vector<std::string> ourRows(const std::string& file, const std::string& password,
                                 const std::string& table, std::string& error) {
    std::ostringstream out;
    auto r = jet::dumpFile(file, password, {table}, out);
    if (!r) {
        error = r.error().description;
        return {};
    }
    return canonicalRows(out.str());
}

}  // namespace testsupport
