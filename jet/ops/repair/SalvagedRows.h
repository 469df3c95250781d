// The rows a repair copies into a table: those its salvage kept (or none,
// for a table the repair adds), less rows it leaves out, plus rows it adds
// (the catalogue's rows of recovered tables and of the damage log, their
// permissions, the log's entries). Each index's entries are the salvage's
// keys, with keys made for the rows added.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "format/Bytes.h"
#include "format/TableDef.h"
#include "ops/compact/RowSource.h"
#include "salvage/TableSalvage.h"

namespace jet {

class SalvagedRows : public RowSource {
  public:
    // salvage may be null: the table holds only the rows added.
    SalvagedRows(const TableDef& def, TableSalvage* salvage) : def_(def), salvage_(salvage) {}

    void omit(RowPtr slot) { omitted_.push_back(slot.toU32()); }
    // A row in the table's layout; long values inline.
    void add(Bytes row) { added_.push_back(std::move(row)); }
    bool changed() const { return !omitted_.empty() || !added_.empty(); }
    bool omitted(RowPtr slot) const;

    bool rows(FunctionRef<bool(RowPtr slot, RowPtr at, ByteView bytes)> take) override;
    PackedEntries entries(std::size_t index) override;
    uint64_t pageEstimate() const override;

  private:
    // Rows added are told apart by slots no page of a file can have.
    static RowPtr addedSlot(std::size_t k) {
        return {kAddedPage + static_cast<uint32_t>(k / 256), static_cast<uint8_t>(k % 256)};
    }
    static constexpr uint32_t kAddedPage = 0xF00000;
    void makeAddedKeys();
    // The order rows go out in: salvaged rows (by index), then added rows
    // (by ~index), merged by primary key where there is one.
    std::vector<int64_t> order();

    const TableDef& def_;
    TableSalvage* salvage_;
    std::vector<uint32_t> omitted_;
    std::vector<Bytes> added_;
    std::vector<std::vector<Bytes>> addedKeys_;  // by index, then by row added
};

}  // namespace jet
