// The compaction routine: has the engine write a compacted copy of the
// database to the temporary path, then swaps it in. Every failure is shown
// in one critical message and turned into a false result.
#pragma once

#include <string>

#include "compaction/Runtime.h"

namespace compaction {

// What a compaction that succeeded had to repair, and where the damaged
// original was kept when the repair dropped or changed anything.
struct RepairReport {
    platform::CompactOutcome outcome;
    std::string originalKeptAs;
};

bool CompactDB(const std::string& sourcePath, const std::string& tempPath,
               const std::string& password, Runtime& rt);
bool CompactDB(const std::string& sourcePath, const std::string& tempPath,
               const std::string& password, Runtime& rt, RepairReport& repaired);

// The failure message for an error record (CR LF line breaks).
std::string failureMessage(const std::string& description, int32_t number,
                           const std::string& source);

// A value as a connection string carries it: quoted when it holds what the
// string's syntax uses (";", "=", quotes, blanks at either end).
std::string connectionValue(const std::string& value);

}  // namespace compaction
