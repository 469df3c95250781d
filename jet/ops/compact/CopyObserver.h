// What the compaction's writer tells as the copy takes shape: whoever checks
// the copy while it is written (EarlyChecks) listens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "format/TableDef.h"
#include "read/Database.h"

namespace jet {

class CopyObserver {
  public:
    virtual ~CopyObserver() = default;
    // A large table's rows, a few megabytes of data pages at a time
    // (ascending), in the file once the output file's waitWritten(ticket)
    // returns, to be read with the layout the table's definition will have.
    virtual void rowsWritten(const CatalogEntry& table, std::shared_ptr<const TableDef> layout,
                             std::vector<uint32_t> pages, uint64_t ticket) = 0;
    // Then each of its indexes once written (and all its rows): its number
    // among the real indexes and its root.
    virtual void indexWritten(const CatalogEntry& table, std::size_t index, uint32_t root,
                              uint64_t ticket) = 0;
    // Each table once everything it holds but its usage maps is written,
    // with the maps' rows and the pages each will list.
    virtual void tableWritten(const CatalogEntry& table,
                              std::map<uint32_t, std::vector<uint32_t>> maps, uint64_t ticket) = 0;
};

}  // namespace jet
