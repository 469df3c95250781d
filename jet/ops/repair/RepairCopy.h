// The compaction that repairs, above the plain one: nothing in the
// compaction depends on it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "format/Header.h"
#include "format/PageFile.h"
#include "jet/Compact.h"
#include "read/Database.h"

namespace jet {

// The plain compaction of db into fd (empty), and the repair where it stops
// on damage in the source (or where opening the source had to work around
// it, as found says).
CompactResult compactOrRepair(Env& env, Database& db, int fd, const CompactRequest& req,
                              const std::array<uint8_t, kPasswordBytes>& newPassword,
                              const OpenDamage& found);

// What the damage log says of a header made anew, and of a file cut short.
std::string headerLost();
std::string keyFound();
// The key of an encoded file whose header was lost, searched for or given.
std::string keyHadAgain(const OpenDamage& found);
std::string passwordLost();
std::string fileCut(uint64_t bytes);
std::string fileTransformed(const std::string& what);
// What the damage log says of each field of a header that reads but was
// damaged (its format version, creation date, code page, sort order).
std::vector<std::string> headerFieldsRepaired(const OpenDamage& found);

}  // namespace jet
