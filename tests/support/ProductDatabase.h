// The product's own database as the routine's tests use it: built by our
// builder under the product's password, read back table by table, and
// judged after a run that may have been cut short.
#pragma once

#include <string>
#include <vector>

#include "support/Fixtures.h"

namespace testsupport {

extern const std::string kProductPassword;

// A database with dead space to reclaim.
std::string seedBytes(const std::string& password = kProductPassword, int rows = 120);

// Every user table's rows, as our reader gives them ("unreadable: ..." when
// the file does not open).
std::vector<std::vector<std::string>> contentOf(const fs::path& db,
                                                const std::string& password = kProductPassword);

// The database is the original, or a checked copy with the original's rows.
void expectIntactOrCompacted(const fs::path& db, const std::string& original,
                             const std::vector<std::vector<std::string>>& rows);

}  // namespace testsupport
