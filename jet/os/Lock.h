// Keeping other programs away from a database while it is compacted.
//
// The compaction holds a shared byte-range lock over the whole source (a
// program that wants to write it sees the lock) and the lock for one alone (Env::lockAlone:
// a second compaction sees that). It refuses a database that another process
// holds any lock on, byte-range or the lock for one alone, or whose lock file beside it (the
// same name with the extension ".ldb") another process holds locked. A lock
// file that nobody holds is stale and ignored; anything at that name that is
// not a regular file this user can open counts as held.
#pragma once

#include <string>

#include "jet/Env.h"

namespace jet {

// The lock file that belongs to a database path.
std::string lockFilePath(const std::string& databasePath);

// Takes the locks on the open source; fails with kInUse when another
// process has the database. They last as long as the open file (its
// duplicates included). folderFd, when given, is the database's folder held
// open: the lock file is looked for there, by the name path ends in.
void lockForCompaction(Env& env, FileHandle fd, const std::string& path,
                       FileHandle folderFd = kWorkingFolder);

}  // namespace jet
