// The compactor: reads a database's tables on one thread and writes them
// into the copy on another, table after table. Its parts: planning the copy
// (Compactor.cpp), reading rows, long values and index trees from the source
// (CompactReader.cpp), and writing rows, long values, indexes and table
// definitions (CompactWriter.cpp). compactFile (CompactFile.cpp) drives it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "format/Bytes.h"
#include "format/Header.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "format/TableDef.h"
#include "jet/Compact.h"
#include "ops/compact/RowBatch.h"
#include "ops/compact/RowSource.h"
#include "ops/compact/SlotMap.h"
#include "read/Database.h"
#include "read/PageCensus.h"
#include "read/RowDigest.h"
#include "util/Channel.h"
#include "write/DatabaseWriter.h"
#include "write/LongValueWriter.h"
#include "write/OutputFile.h"
#include "write/TableWriter.h"

namespace jet {

// What the compactor knows of a table of the source, and where its parts go
// in the copy.
struct TablePlan {
    TableDigest digest;
    CatalogEntry entry;
    const TableDef* def = nullptr;
    std::vector<uint32_t> newPages;  // definition pages in the copy
    TableMaps maps;                  // its usage maps in the copy
    std::vector<const Column*> idColumns;   // hold table Ids, rewritten
    std::vector<const Column*> sidColumns;  // hold SIDs, re-masked
    std::vector<const Column*> lvColumns;   // memo and OLE, by slot
    RowSource* source = nullptr;            // rows not copied as the source holds them
    bool fresh = false;                     // not in the source: all its maps are made
};

// A table the caller chose to copy, instead of those the catalogue lists.
struct PlannedTable {
    CatalogEntry entry;
    const TableDef* def = nullptr;
    RowSource* source = nullptr;  // none: copied as the source holds it
    bool fresh = false;           // not in the source: every usage map is made for it
};

// Which LONG columns of which system tables hold table Ids, and which hold
// security identifiers.
bool holdsTableIds(const std::string& table, const std::string& column);
bool holdsSids(const std::string& table, const std::string& column);

class Compactor {
  public:
    Compactor(Database& src, OutputFile& out,
              const std::array<uint8_t, kPasswordBytes>& newPassword)
        : src_(src),
          file_(src.file()),
          w_(out, 2),
          out_(out),
          alloc_(w_.alloc()),
          newPassword_(newPassword) {}

    void prepare() { plan(); }

    // The tables to copy, in place of those the catalogue lists (a repair
    // chooses them); tables whose Ids are gone lose them (set to 0) where
    // other tables refer to them. Call before prepare().
    void setTables(std::vector<PlannedTable> tables, const std::vector<uint32_t>& gone) {
        planned_ = std::move(tables);
        gone_ = gone;
        chosen_ = true;
    }

    // Told of each table once everything it holds but its usage maps is in
    // the file, with the maps' rows and the pages each will list.
    using TableWritten =
        std::function<void(const CatalogEntry&, std::map<uint32_t, std::vector<uint32_t>>)>;
    void onTableWritten(TableWritten f) { tableWritten_ = std::move(f); }

    CompactResult run();

    // What each table should hold in the copy, by its new definition page.
    std::map<uint32_t, std::pair<std::string, TableDigest>> expected() const;

    // Pages the copy will need about: the pages the source's maps list for
    // live structures, plus definitions and page 0 and 1.
    uint64_t estimatePages();

  private:
    int newMap() { return w_.newMap(); }
    MapRow& map(int i) { return w_.map(i); }

    // Planning (Compactor.cpp).
    std::vector<PlannedTable> catalogueTables();
    void plan();
    void finishFile();

    // Reading (CompactReader.cpp), on the reader's thread.
    void readTables(Channel<RowBatch>& full);
    bool readTable(std::size_t ti, Channel<RowBatch>& full);
    bool readSourced(std::size_t ti, Channel<RowBatch>& full);
    void readRow(TablePlan& t, ByteView bytes, RowBatch& batch, RowJob& job);
    void readTree(const TableDef& def, const RealIndex& ri, const std::string& where);
    // Where the source says rows of a table may be lost to this reading,
    // it stops (CompactSoundness.cpp): a page the map lists that is not
    // the table's, rows counted but missing while pages naming the table
    // lie outside its map, a row under a sector of zeros.
    void refuseLostPage(const TableDef& def, uint32_t page, const Page& bytes);
    void refuseIfPagesMissing(const TableDef& def, const std::vector<uint32_t>& mapPages,
                              uint64_t rows);
    static void refuseTorn(const TableDef& def, const Page& page, ByteView row, RowPtr at);
    const std::map<uint32_t, std::vector<uint32_t>>& ownedMaps();
    PackedEntries takeEntries();
    void giveBackEntries(PackedEntries&& v);
    RowBatch spareBatch(std::size_t table);
    void recycle(RowBatch&& b);

    // Writing (CompactWriter.cpp), on the calling thread.
    void copyTable(TablePlan& t, std::size_t ti, Channel<RowBatch>& full);
    ByteView writeRow(TablePlan& t, TableWriter& tw, const RowBatch& batch, const RowJob& job,
                      const RowView& rv);
    void rebuildIndex(TableWriter& tw, std::size_t number, const TableDef& def,
                      PackedEntries& packed, const SlotMap& moved, std::size_t rows);
    [[noreturn]] static void readerStopped(const TableDef& def);
    static std::vector<std::pair<std::size_t, std::size_t>> splitKeyOrFail(
        ByteView key, const std::vector<std::pair<uint8_t, bool>>& shape, uint32_t page,
        const std::string& where);

    Database& src_;
    PageFile& file_;
    DatabaseWriter w_;
    OutputFile& out_;
    PageAllocator& alloc_;
    std::array<uint8_t, kPasswordBytes> newPassword_;
    std::vector<TablePlan> tables_;
    std::vector<PlannedTable> planned_;
    std::vector<uint32_t> gone_;
    bool chosen_ = false;
    std::map<uint32_t, uint32_t> tdefMap_;  // old definition page (= table Id) -> new
    uint32_t oldSidKey_ = 0, newSidKey_ = 0;
    Page newPage0_{};

    TableWritten tableWritten_;
    // Read by the reader only where the source may be damaged.
    std::unique_ptr<std::map<uint32_t, std::vector<uint32_t>>> ownedMaps_;
    std::unique_ptr<PageCensus> census_;
    IndexTree readerTree_;         // the tree the reader reads: its pages
    PackedEntries readerEntries_;  // and its entries
    static constexpr std::size_t kSpareEntries = 1;
    std::vector<PackedEntries> spareEntries_;  // under spareMutex_
    static constexpr std::size_t kBatchRows = 256;
    static constexpr std::size_t kBatchBytes = 1u << 20;
    // Rows read ahead of the writer: enough to keep the reader going while
    // the writer rebuilds a table's indexes.
    static constexpr std::size_t kBytesInFlight = 12u << 20;
    static constexpr std::size_t kSpareBatches = 16;
    std::mutex spareMutex_;
    std::vector<RowBatch> spare_;
    // Buffers reused from row to row.
    Bytes built_, otherValue_;  // written rows; values of other long columns
    // Where each row of the table being written went (kept from table to
    // table: at 1.9 GB they take 12 MB, which would otherwise be faulted in
    // afresh for each table).
    std::vector<std::pair<uint32_t, uint32_t>> moved_;
    SlotMap movedTo_;
    std::vector<Bytes> lvSlots_;
    std::vector<ByteView> slots_;
    std::vector<LongValuePlacement> placements_;
};

}  // namespace jet
