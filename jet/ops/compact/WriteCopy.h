// A compaction's copy, written whole into a file the caller has created.
#pragma once

#include <array>
#include <cstdint>

#include "format/Header.h"
#include "jet/Compact.h"
#include "ops/compact/PlannedTable.h"
#include "read/Database.h"

namespace jet {

// Writes the whole copy into fd (empty), flushes it and, as the request
// asks, checks it: the tables a caller chose, or (none) those the catalogue
// lists.
CompactResult writeCopy(Env& env, Database& db, int fd, const CompactRequest& req,
                        const std::array<uint8_t, kPasswordBytes>& newPassword,
                        const ChosenTables* chosen = nullptr);

}  // namespace jet
