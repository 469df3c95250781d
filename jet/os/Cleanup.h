// Files a run creates and must not leave behind when it is interrupted: the
// partial copy of a database, spilled sort runs. On Windows, Ctrl+C, Ctrl+Break
// and the closing of the console, the user's logging off and the system's
// shutting down remove them before the process ends. While a RemoveOnSignal is
// alive, SIGINT, SIGTERM and SIGHUP first remove its file, then take their
// usual course (a handler installed before runs next; the default ends the
// process by the signal). So do SIGQUIT, SIGXFSZ and SIGXCPU (a file size or
// time limit met), SIGUSR1, SIGUSR2 and SIGALRM, unless the program handles
// them itself. A signal the process ignores stays ignored.
#pragma once

#include <string>

#include "jet/Env.h"

namespace jet {

class RemoveOnSignal {
  public:
    // The file named relative to the folder open as dirFd (kWorkingFolder:
    // the working folder). The folder must stay open while this lives. A name
    // too long to keep, or more files than it can hold, and nothing is
    // registered: the run goes on, only an interrupt would leave the file.
    explicit RemoveOnSignal(const std::string& name, FileHandle dirFd = kWorkingFolder);
    ~RemoveOnSignal();  // forgets the file; never removes it
    RemoveOnSignal(const RemoveOnSignal&) = delete;
    RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;

    bool registered() const { return slot_ >= 0; }

  private:
    int slot_ = -1;
};

}  // namespace jet
