// The compacting writer: writes a compacted copy of a database to a new file.
//
// The copy keeps every table, row, long value, index and the password, drops
// every page nothing reachable refers to, repacks rows densely (overflow rows
// folded back, deleted slots gone, rows of a table with a primary key in key
// order), re-stores long values exactly sized, rebuilds every index from its
// existing key bytes, and remaps table Ids (definition page numbers) wherever
// they are stored. Page 0 is copied byte for byte unless the password changes.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "jet/Error.h"
#include "jet/Header.h"

namespace jet {

struct CompactRequest {
    std::string sourcePath;
    std::string sourcePassword;
    std::string destinationPath;
    // The copy's password, UTF-8; empty for none.
    std::string destinationPassword;
    // Reopen and check the copy before reporting success.
    bool verify = true;
};

struct CompactResult {
    uint32_t sourcePages = 0;
    uint32_t destinationPages = 0;
    // Wall time of each step, in seconds: writing the copy, flushing it to
    // disk, and reopening and checking it (the last two at the same time).
    double copySeconds = 0, flushSeconds = 0, verifySeconds = 0;
};

// Writes the copy. The destination must not exist; on any failure the
// partial destination is removed and the source is untouched.
Result<CompactResult> compactFile(const CompactRequest& request);

// The engine call the compaction routine makes: both connection strings as
// OLE DB composes them ("Provider=...;Data Source=...;Jet OLEDB:...").
Status CompactDatabase(const std::string& sourceConnection,
                       const std::string& destinationConnection);

}  // namespace jet
