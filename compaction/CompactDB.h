// The compaction routine: has the engine write a compacted copy of the
// database to the temporary path, then swaps it in. Every failure is shown
// in one critical message and turned into a false result.
#pragma once

#include <string>

#include "compaction/Runtime.h"

namespace compaction {

bool CompactDB(const std::string& sourcePath, const std::string& tempPath,
               const std::string& password, Runtime& rt);

// The failure message for an error record (CR LF line breaks).
std::string failureMessage(const std::string& description, int32_t number,
                           const std::string& source);

}  // namespace compaction
