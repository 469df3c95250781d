// Every error number the engine can report, with the name and meaning the
// README lists for it.
#pragma once

#include <vector>

#include "jet/Error.h"

namespace testsupport {

struct ErrorInfo {
    jet::ErrorCode code;
    const char* name;
    const char* meaning;
};

const std::vector<ErrorInfo>& errorTable();

}  // namespace testsupport
