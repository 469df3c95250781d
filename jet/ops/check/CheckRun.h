// The integrity checker's run over a whole file: what the file says of
// itself (page 1, the catalogue, and what every table's check shares), the
// tables shared out among workers (TableChecker), each on a thread with its
// own handle on the file, and their findings gathered in catalogue order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ops/check/Checker.h"
#include "ops/check/FileFacts.h"
#include "ops/check/Finding.h"
#include "ops/check/PagesReached.h"
#include "read/Database.h"

namespace jet {

class TableChecker;

class CheckRun {
  public:
    CheckRun(Database& db, const CheckOptions& options) : db_(db), options_(options) {}
    CheckRun(const CheckRun&) = delete;
    CheckRun& operator=(const CheckRun&) = delete;

    CheckResult run();

  private:
    // What to report, in catalogue order: a table's own findings, or that
    // it shares its definition page with one before it.
    struct CheckItem {
        const CatalogEntry* table = nullptr;
        std::string shared;
    };

    void checkPageOne();
    std::vector<CatalogEntry> catalogue();
    std::vector<CheckItem> checkItems(const std::vector<CatalogEntry>& tables) const;
    // What every table's check shares: each owned map and, with ownerScan,
    // every page of the file.
    std::shared_ptr<const FileFacts> readFacts(const std::vector<CatalogEntry>& tables);
    // Each item checked by a worker, two at once when two are wanted.
    std::vector<CheckResult> checkAll(const std::vector<CheckItem>& items,
                                      std::shared_ptr<const FileFacts> facts);
    CheckResult checkItem(TableChecker& worker, const CatalogEntry& t) const;
    void gather(const std::vector<CheckItem>& items, std::vector<CheckResult>& parts);

    Database& db_;
    const CheckOptions options_;
    CheckResult report_;
    PagesReached reached_;  // by the run and by every worker
};

}  // namespace jet
