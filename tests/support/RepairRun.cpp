#include "support/RepairRun.h"

#include <gtest/gtest.h>

#include "jet/Check.h"
#include "support/Oracle.h"

namespace testsupport {

Tables userRows(const std::filesystem::path& file, const std::string& pw) {
    Tables out;
    for (const auto& t : mdbTables(file.string())) {
        std::string error;
        out[t] = ourRows(file.string(), pw, t, error);
        EXPECT_TRUE(error.empty()) << t << ": " << error;
    }
    return out;
}

Repaired repair(const std::filesystem::path& src, const std::string& pw) {
    Repaired out;
    const std::filesystem::path copy = src.string() + ".copy";
    std::filesystem::remove(copy);
    auto r = jet::compactFile({src.string(), pw, copy.string(), pw, true});
    if (!r.ok()) {
        ADD_FAILURE() << "the repair failed: " << r.error().description;
        return out;
    }
    out.summary = r->repair;
    auto checked = jet::checkFile(copy.string(), pw);
    EXPECT_TRUE(checked.ok() && checked->ok())
        << (checked.ok() ? checked->problems.front().text : checked.error().description);
    out.rows = userRows(copy, pw);
    std::string error;
    for (const auto& row : ourRows(copy.string(), pw, "MSysCompactError", error))
        out.log += row + "\n";
    return out;
}

}  // namespace testsupport
