// Writing one table's contents into a file: its rows onto data pages of its
// own, its long values in the row or on LVAL pages of their column, its
// index trees, and its definition patched to where everything went. The
// builder and the compactor both write tables through it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "format/Bytes.h"
#include "format/IndexPage.h"
#include "format/TableDef.h"
#include "write/DatabaseWriter.h"
#include "write/LongValueWriter.h"
#include "write/PageBuilder.h"

namespace jet {

// The usage maps of a table in the file being written (DatabaseWriter map
// numbers; -1: the table has none there).
struct TableMaps {
    int owned = -1, free = -1;
    std::vector<int> indexes;                     // by real index
    std::vector<std::pair<int, int>> longValues;  // owned, free; by long-value map entry
};

// A memo or OLE value on its way into a row: it stays in the row when the
// row has room for it, else it goes out to its column's LVAL pages.
struct LongValuePlacement {
    uint16_t column = 0;  // column number
    uint16_t slot = 0;    // variable slot
    ByteView value;
    bool inlined = false;     // first wish; cleared for values that must go out
    bool chained = false;     // out of the row as a chain even when one row would do
    Bytes* stored = nullptr;  // receives what the slot holds: the value, or its header
};

// Counts the distinct keys of entries in key order; keyAt(i) gives key i.
template <typename KeyAt>
uint32_t countDistinct(std::size_t n, KeyAt keyAt) {
    uint32_t distinct = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 0 || compareKeys(keyAt(i), keyAt(i - 1)) != 0) ++distinct;
    }
    return distinct;
}

class TableWriter {
  public:
    // pages: the definition's pages in the file, the first being the table's Id.
    TableWriter(DatabaseWriter& w, const TableDef& def, std::vector<uint32_t> pages, TableMaps maps)
        : w_(w),
          def_(def),
          pages_(std::move(pages)),
          maps_(std::move(maps)),
          data_(pages_.front()) {}

    uint32_t owner() const { return pages_.front(); }
    const std::vector<uint32_t>& definitionPages() const { return pages_; }

    // Places a row on the table's data pages; returns its slot.
    RowPtr addRow(ByteView row, uint16_t flags = 0) {
        if (dataPage_ == 0 || !data_.fits(row.size())) {
            if (dataPage_ != 0) w_.out().write(dataPage_, data_.build());
            data_.clear();
            dataPage_ = w_.alloc().allocate();
            dataPages_.push_back(dataPage_);
        }
        return {dataPage_, data_.add(row, flags)};
    }

    // Stores a row's long values: each stays in the row as first wished
    // while the row, baseSize bytes with these slots empty, has room; the
    // largest move out first. False when the row is too large even so.
    bool placeLongValues(std::span<LongValuePlacement> values, std::size_t baseSize);

    // Writes the last data page and the long-value pages.
    void finishRows();

    // Writes real index i over entries in key order; keyAt(k), rowAt(k).
    template <typename Entries>
    uint32_t writeIndex(std::size_t i, const Entries& entries, uint32_t distinct) {
        std::vector<uint32_t> pages;
        const uint32_t root = w_.writeTree(entries, owner(), pages);
        indexPages_.insert(indexPages_.end(), pages.begin(), pages.end());
        indexes_.push_back({i, root, distinct, std::move(pages)});
        return root;
    }

    // Takes real index i as written elsewhere (a tree written a page at a
    // time): its root, distinct keys and pages.
    void addIndex(std::size_t i, uint32_t root, uint32_t distinct, std::vector<uint32_t> pages) {
        indexPages_.insert(indexPages_.end(), pages.begin(), pages.end());
        indexes_.push_back({i, root, distinct, std::move(pages)});
    }

    // Writes the long-value pages being filled as they stand, so that what
    // is stored so far can be read from the file (they are written again).
    void writeUnfinishedLongValues() {
        for (auto& [column, writer] : lvWriters_) writer.writeUnfinished();
    }

    // Patches the definition (row count, AutoNumber when given, maps, index
    // roots and statistics, and the other tables' pages its foreign keys
    // name, mapped by tableIds when given) and writes it.
    void writeDefinition(uint32_t rows, std::optional<uint32_t> autoNumber,
                         const std::map<uint32_t, uint32_t>* tableIds);

    // What the table takes in the file, once written.
    const std::vector<uint32_t>& dataPages() const { return dataPages_; }
    const std::vector<uint32_t>& indexPages() const { return indexPages_; }
    std::vector<uint32_t> longValuePages() const;
    // The maps' rows and the pages each lists, by the row (as u32).
    std::map<uint32_t, std::vector<uint32_t>> mapContents() const;

  private:
    struct WrittenIndex {
        std::size_t number;
        uint32_t root, distinct;
        std::vector<uint32_t> pages;
    };
    LongValueWriter& longValues(uint16_t column) {
        return lvWriters_.try_emplace(column, w_.alloc(), w_.out()).first->second;
    }
    // Gives map i these pages; returns its row (0 when the table has none).
    uint32_t fillMap(int i, const std::vector<uint32_t>& pages);

    DatabaseWriter& w_;
    const TableDef& def_;
    std::vector<uint32_t> pages_;
    TableMaps maps_;
    DataPageBuilder data_;
    uint32_t dataPage_ = 0;
    std::vector<uint32_t> dataPages_, indexPages_;
    std::map<uint16_t, LongValueWriter> lvWriters_;
    std::vector<WrittenIndex> indexes_;
};

}  // namespace jet
