// The process on POSIX systems.
#include <unistd.h>

#include <cstdlib>

#include "os/Process.h"

namespace jet {

int processId() { return static_cast<int>(::getpid()); }

std::string temporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

}  // namespace jet
