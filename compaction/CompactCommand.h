// What the "Compact and Repair" button runs: checks the path, notes the
// size, calls CompactDB and reports the size before and after.
#pragma once

#include <string>

#include "compaction/CompactDB.h"
#include "compaction/Runtime.h"

namespace compaction {

// The password under which the product's database is stored.
inline constexpr const char* kDatabasePassword = "MARLIN4ii8-tb3pz6qk";

class CompactCommand {
  public:
    explicit CompactCommand(Runtime& rt, std::string password = kDatabasePassword)
        : rt_(rt), password_(std::move(password)) {}

    // chosen is the text of the path box, read afresh by the caller. Where
    // the file system says the product uses another file for it (a copy in
    // the VirtualStore on Windows), that file is compacted and the report
    // names it. Errors of the look-up and length queries are not trapped
    // here (see runHandler).
    void Command2_Click(const std::string& chosen);

    // The size before compaction, as decimal text.
    std::string oldSizeText;

  private:
    // The second message after a repair that dropped or changed anything.
    std::string repairMessage(const RepairReport& repaired);

    Runtime& rt_;
    std::string password_;
};

}  // namespace compaction
