// Keeping other programs away from a database while it is compacted.
//
// The compaction holds a shared byte-range lock over the whole source (a
// program that wants to write it sees the lock) and an exclusive flock (a
// second compaction sees that). It refuses a database that another process
// holds a byte-range lock on, or whose lock file beside it (the same name
// with the extension ".ldb") another process holds locked. A lock file that
// nobody holds is stale and ignored.
#pragma once

#include <string>

namespace jet {

// The lock file that belongs to a database path.
std::string lockFilePath(const std::string& databasePath);

// Takes the locks on the open source; fails with kInUse when another
// process has the database.
void lockForCompaction(int fd, const std::string& path);

}  // namespace jet
