// The last step of a compaction: the copy reopened, checked and compared
// with what was written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "ops/check/Checker.h"
#include "read/RowDigest.h"

namespace jet {

// Reopens the copy, checks it and compares every table with what was written.
// Tables checked early are taken as checked once their maps are found as given.
// heldFd: the copy as the caller holds it open (-1: opened by its path).
void verifyCopy(Env& env, const std::string& path, const std::string& password, int heldFd,
                const std::map<uint32_t, std::pair<std::string, TableDigest>>& expected,
                const std::map<uint32_t, CheckedTable>& checkedEarly,
                const CheckOptions& base = {});

}  // namespace jet
