#include "ops/compact/Verify.h"

#include "read/Database.h"
#include "util/Failure.h"

namespace jet {

void verifyCopy(Env& env, const std::string& path, const std::string& password, int heldFd,
                const std::map<uint32_t, std::pair<std::string, TableDigest>>& expected,
                const std::map<uint32_t, CheckedTable>& checkedEarly, const CheckOptions& base) {
    auto copy = Database::open(env, path, password, heldFd);
    // Keys are copied from the source's indexes, so a key that disagrees with
    // its row there would disagree in the copy too: check every table's keys.
    CheckOptions options = base;
    options.keysOfEveryTable = true;
    options.threads = 2;
    options.checked = &checkedEarly;
    CheckResult report = checkDatabase(*copy, options);
    if (!report.ok()) {
        fail(ErrorCode::kVerifyFailed,
             "The compacted copy failed its check and was removed: " + report.findings.front().text);
    }
    for (const auto& [page, want] : expected) {
        auto it = report.digests.find(page);
        const TableDigest got = it == report.digests.end() ? TableDigest{} : it->second;
        if (got.rows != want.second.rows) {
            fail(ErrorCode::kVerifyFailed,
                 "The compacted copy was removed: table '" + want.first + "' has " +
                     std::to_string(got.rows) + " rows in the copy, " +
                     std::to_string(want.second.rows) + " in the database.");
        }
        if (!(got == want.second)) {
            fail(ErrorCode::kVerifyFailed, "The compacted copy was removed: the rows of table '" +
                                               want.first + "' differ from the database's.");
        }
    }
}

}  // namespace jet
