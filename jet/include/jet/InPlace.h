// What a program that compacts a database in place needs of the engine
// besides the compaction itself: the compaction's locks, taken before
// anything beside the database is touched and held until the copy has
// replaced it; a compaction that reads and writes the files the program
// holds open instead of opening them by name again; and the removal of the
// program's temporary file when the process is interrupted.
#pragma once

#include <memory>
#include <string>

#include "jet/Compact.h"
#include "jet/Env.h"

namespace jet {

// Takes the locks a compaction holds on an open database: fd, opened by the
// caller; folderFd, its folder, held open (the lock file beside it is looked
// for there); path names it in messages and ends in its name. The locks last
// until fd and every duplicate of it are closed. Fails with kInUse, saying
// whether another compaction or another program holds it.
Status lockDatabase(int fd, int folderFd, const std::string& path, Env* env = nullptr);

// The files a compaction reads and writes when the caller holds them (see
// CompactRequest::sourceFd and destinationFd).
struct HeldFiles {
    int source = -1;
    int destination = -1;
};

// CompactDatabase on held files: the connection strings give the passwords,
// and the paths that name the files in messages. env: the calls the engine
// makes (none: the system's own). lostKey and watch: see CompactRequest.
Result<RepairSummary> CompactDatabase(const std::string& sourceConnection,
                                      const std::string& destinationConnection,
                                      const HeldFiles& held, Env* env = nullptr,
                                      const LostKey& lostKey = {}, CompactWatch* watch = nullptr);

// While this lives, SIGINT, SIGTERM and SIGHUP remove the file named
// relative to the folder open as folderFd before they take their course;
// so do SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ and SIGXCPU while the
// program leaves them at their default. The folder must stay open as long.
class RemoveOnInterrupt {
  public:
    RemoveOnInterrupt(const std::string& name, int folderFd);
    ~RemoveOnInterrupt();
    RemoveOnInterrupt(const RemoveOnInterrupt&) = delete;
    RemoveOnInterrupt& operator=(const RemoveOnInterrupt&) = delete;

  private:
    struct Registration;
    std::unique_ptr<Registration> registration_;
};

}  // namespace jet
