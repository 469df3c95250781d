// What the engine asks of the process it runs in, apart from files.
#pragma once

#include <string>

namespace jet {

int processId();

// The system's folder for temporary files: $TMPDIR, else /tmp; on Windows
// the user's (GetTempPathW).
std::string temporaryFolder();

}  // namespace jet
