// The compactor: copies a database's tables into a new file, reading them on
// one thread and writing them on another, table after table. Its parts: the
// plan, fixed before either thread starts (CopyPlan); the reader, on a thread
// of its own (CopyReader); the copier, on the calling thread (Copier); and
// all the two share, the channel between them (CopyChannel). writeCopy
// (WriteCopy.cpp) drives it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/Header.h"
#include "jet/Compact.h"
#include "ops/compact/Copier.h"
#include "ops/compact/CopyObserver.h"
#include "ops/compact/CopyPlan.h"
#include "ops/compact/PlannedTable.h"
#include "os/SpillFile.h"
#include "read/Database.h"
#include "read/RowDigest.h"
#include "write/OutputFile.h"

namespace jet {

class Compactor {
  public:
    Compactor(Database& src, OutputFile& out,
              const std::array<uint8_t, kPasswordBytes>& newPassword,
              uint64_t memoryBudget = kDefaultMemoryBudget, SpillFolders spill = {})
        : src_(src),
          out_(out),
          newPassword_(newPassword),
          shares_(MemoryShares::of(memoryBudget)),
          spill_(spill.folders.empty() ? SpillFolders::near(out.env(), out.path())
                                       : std::move(spill)),
          copier_(out) {}

    // The tables to copy, in place of those the catalogue lists (a repair
    // chooses them); tables whose Ids are gone lose them (set to 0) where
    // other tables refer to them. Call before prepare().
    void setTables(std::vector<PlannedTable> tables, const std::vector<uint32_t>& gone) {
        chosen_ = ChosenTables{std::move(tables), gone};
    }

    // Told of the copy as it is written, when there is one to tell.
    void tell(CopyObserver* observer) { copier_.tell(observer); }
    // Told how far the copy has come, when there is one to tell.
    void watch(CompactWatch* watch) { copier_.watch(watch); }

    const MemoryShares& shares() const { return shares_; }

    void prepare();
    // The first page after the definitions and usage maps, once prepared.
    uint32_t firstDataPage() const { return plan_.firstDataPage; }

    // Pages the copy will need about, once prepared: the pages the source's
    // maps list for live structures, plus definitions and page 0 and 1.
    uint64_t estimatePages() const { return jet::estimatePages(plan_); }

    CompactResult run();

    // What each table should hold in the copy, by its new definition page.
    std::map<uint32_t, std::pair<std::string, TableDigest>> expected() const;

  private:
    Database& src_;
    OutputFile& out_;
    const std::array<uint8_t, kPasswordBytes> newPassword_;
    const MemoryShares shares_;
    const SpillFolders spill_;
    std::optional<ChosenTables> chosen_;
    CopyPlan plan_;  // fixed by prepare(), read-only once run() starts its threads
    Copier copier_;
};

}  // namespace jet
