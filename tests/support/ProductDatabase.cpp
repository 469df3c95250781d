#include "support/ProductDatabase.h"

#include <gtest/gtest.h>

#include "jet/Check.h"
#include "support/Oracle.h"
#include "support/SampleDatabase.h"

namespace testsupport {

const std::string kProductPassword = "MARLIN4ii8-tb3pz6qk";

std::string seedBytes(const std::string& password, int rows) {
    SampleOptions o;
    o.password = password;
    o.rows = rows;
    return sampleDatabaseBytes(o);
}

std::vector<std::vector<std::string>> contentOf(const fs::path& db, const std::string& password) {
    std::vector<std::vector<std::string>> out;
    auto info = jet::databaseInfo(db.string(), password);
    if (!info.ok()) return {{"unreadable: " + info.error().description}};
    for (const auto& t : info.value().report.tables) {
        if (t.system) continue;
        std::string err;
        out.push_back(ourRows(db.string(), password, t.name, err));
        if (!err.empty()) out.push_back({err});
    }
    return out;
}

void expectIntactOrCompacted(const fs::path& db, const std::string& original,
                             const std::vector<std::vector<std::string>>& rows) {
    ASSERT_TRUE(fs::exists(db)) << "the database is gone";
    if (readFile(db) == original) return;
    auto check = jet::checkFile(db.string(), kProductPassword);
    ASSERT_TRUE(check.ok()) << "the database is not a database: " << check.error().description;
    EXPECT_TRUE(check.value().ok()) << check.value().problems.front().text;
    EXPECT_EQ(contentOf(db), rows);
}

}  // namespace testsupport
