#include "support/Oracle.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "jet/Api.h"
#include "support/Fixtures.h"
#include "support/Json.h"

namespace testsupport {

std::vector<std::string> mdbTables(const std::string& file) {
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

std::vector<std::string> canonicalRows(const std::string& jsonLines) {
    std::vector<std::string> rows;
    std::stringstream ss(jsonLines);
    std::string line;
    while (std::getline(ss, line)) {
        if (line.empty() || line[0] == '#') continue;
        auto obj = parseJsonObject(line);
        if (!obj) {
            rows.push_back("unparsable: " + line);
            continue;
        }
        std::string canon;
        for (const auto& [k, v] : *obj) {
            std::string val;
            switch (v.kind) {
                case JsonValue::kNull: continue;
                case JsonValue::kBool: val = v.boolean ? "1" : "0"; break;
                case JsonValue::kNumber: {
                    char buf[64];
                    std::snprintf(buf, sizeof buf, "%.6g", std::stod(v.text));
                    val = buf;
                    break;
                }
                case JsonValue::kString: val = "s:" + v.text; break;
                case JsonValue::kBinary: val = "b:" + v.text; break;
            }
            canon += k + "=" + val + "\x1f";
        }
        rows.push_back(canon);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<std::string> mdbRows(const std::string& file, const std::string& table) {
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
