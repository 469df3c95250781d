// The compactor: reads a database's tables on one thread and writes them
// into the copy on another, table after table. Its parts: planning the copy
// (Compactor.cpp), reading rows, long values and index trees from the source
// (CompactReader.cpp), and writing rows, long values, indexes and table
// definitions (CompactWriter.cpp). compactFile (CompactFile.cpp) drives it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
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
#include "ops/compact/CopyObserver.h"
#include "ops/compact/PlannedTable.h"
#include "ops/compact/RowBatch.h"
#include "ops/compact/RowMap.h"
#include "ops/compact/RowSource.h"
#include "os/ExternalSort.h"
#include "os/SpillFile.h"
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
    std::vector<uint32_t> newPages;         // definition pages in the copy
    TableMaps maps;                         // its usage maps in the copy
    std::vector<const Column*> idColumns;   // hold table Ids, rewritten
    std::vector<const Column*> sidColumns;  // hold SIDs, re-masked
    std::vector<const Column*> lvColumns;   // memo and OLE, by slot
    RowSource* source = nullptr;            // rows not copied as the source holds them
    bool fresh = false;                     // not in the source: all its maps are made
};

// How a compaction's memory budget is shared out among what grows with the
// data (fixed buffers, such as pages in flight and caches, come on top).
// Whatever does not fit its share goes to spill files.
struct MemoryShares {
    std::size_t keyPairs = 0;   // the primary key's rows and places, sorted by row
    std::size_t rowRuns = 0;    // rows staged to be passed on in key order
    std::size_t rowOrders = 0;  // places of rows not written in page order (reader and writer)
    std::size_t ties = 0;       // rows of index entries with equal keys
    std::size_t levels = 0;     // entries of the levels above an index's leaves
    std::size_t sorts = 0;      // whole indexes sorted again (a source out of key order)
    std::size_t check = 0;      // the check of the copy
    static MemoryShares of(uint64_t budget);
};
inline constexpr uint64_t kMinimumMemoryBudget = 256u << 10;
// The most a budget is taken as: in a 32-bit process, whose 2 to 4 GB of
// address space also hold the program, the threads' stacks, the buffers of
// fixed size and the system's own, 512 MiB (a larger one would have its
// shares cut short where they become a size_t); no bound elsewhere.
inline constexpr uint64_t kMostMemoryBudget =
    sizeof(std::size_t) < sizeof(uint64_t) ? uint64_t{512} << 20 : ~uint64_t{0};

// Which LONG columns of which system tables hold table Ids, and which hold
// security identifiers.
bool holdsTableIds(const std::string& table, const std::string& column);
bool holdsSids(const std::string& table, const std::string& column);

class Compactor {
  public:
    Compactor(Database& src, OutputFile& out,
              const std::array<uint8_t, kPasswordBytes>& newPassword,
              uint64_t memoryBudget = kDefaultMemoryBudget, SpillFolders spill = {})
        : src_(src),
          file_(src.file()),
          w_(out, 2),
          out_(out),
          alloc_(w_.alloc()),
          newPassword_(newPassword),
          shares_(MemoryShares::of(memoryBudget)),
          orderPool_(static_cast<int64_t>(shares_.rowOrders)),
          spill_(spill.folders.empty() ? SpillFolders::near(out.env(), out.path())
                                       : std::move(spill)) {}

    void prepare() { plan(); }
    // The first page after the definitions and usage maps, once prepared.
    uint32_t firstDataPage() const { return firstDataPage_; }

    // The tables to copy, in place of those the catalogue lists (a repair
    // chooses them); tables whose Ids are gone lose them (set to 0) where
    // other tables refer to them. Call before prepare().
    void setTables(std::vector<PlannedTable> tables, const std::vector<uint32_t>& gone) {
        planned_ = std::move(tables);
        gone_ = gone;
        chosen_ = true;
    }

    // Told of the copy as it is written, when there is one to tell.
    void tell(CopyObserver* observer) { observer_ = observer; }

    const MemoryShares& shares() const { return shares_; }

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

    // Reading (CompactReader.cpp, KeyOrder.cpp), on the reader's thread.
    struct Outbox;
    void readTables(Channel<RowBatch>& full);
    void readTable(std::size_t ti, Channel<RowBatch>& full);
    void readSourced(std::size_t ti, Channel<RowBatch>& full);
    void take(TablePlan& t, RowPtr slot, RowBatch& batch);
    void readRow(TablePlan& t, ByteView bytes, RowBatch& batch, RowJob& job);
    void rewriteIds(const TablePlan& t, const RowView& rv, RowPtr at, uint8_t* copy);
    void readLongValues(const TablePlan& t, const RowView& rv, RowBatch& batch, RowJob& job);
    void digestRow(TablePlan& t, const RowView& rv, const RowBatch& batch, const RowJob& job);
    void readInPageOrder(TablePlan& t, const std::vector<uint32_t>& mapPages, SourceRows& source,
                         Outbox& out);
    void readInKeyOrder(TablePlan& t, const std::vector<uint32_t>& mapPages, SourceRows& source,
                        Outbox& out);
    void readKeyAlongPages(TablePlan& t, const std::vector<uint32_t>& mapPages, SourceRows& source,
                           Outbox& out);
    void readKeyAcrossPages(TablePlan& t, const std::vector<uint32_t>& mapPages,
                            ExternalSorter<uint64_t>& pairs, SourceRows& source, Outbox& out);
    void sendIndex(std::size_t ti, std::size_t i, Channel<RowBatch>& full);
    // Where the source says rows of a table may be lost to this reading,
    // it stops (CompactSoundness.cpp): a page the map lists that is not
    // the table's, rows counted but missing while pages naming the table
    // lie outside its map, a row under a sector of zeros.
    void refuseLostPage(const TableDef& def, uint32_t page, const Page& bytes);
    void refuseIfPagesMissing(const TableDef& def, const std::vector<uint32_t>& mapPages,
                              uint64_t rows);
    static void refuseTorn(const TableDef& def, const Page& page, ByteView row, RowPtr at);
    void refuseSharedTargets(const TableDef& def);
    const std::map<uint32_t, std::vector<uint32_t>>& ownedMaps();
    RowBatch spareBatch(std::size_t table);
    void recycle(RowBatch&& b);
    bool reserveOrder(uint64_t bytes);
    void releaseOrder(uint64_t bytes);

    // Writing (CompactWriter.cpp), on the calling thread.
    void copyTable(TablePlan& t, std::size_t ti, Channel<RowBatch>& full);
    // A large table's data pages told of so far, and the layout told with them.
    struct RowsTold {
        std::size_t pages = 0;
        std::shared_ptr<TableDef> layout;
    };
    void copyBatch(TablePlan& t, TableWriter& tw, const RowBatch& batch, RowsTold& told);
    void writeIndexes(const TablePlan& t, std::size_t ti, Channel<RowBatch>& full, TableWriter& tw,
                      const SourceRows& source, const CatalogEntry* tell);
    void sealTable(TableWriter& tw, const CatalogEntry& entry);
    ByteView writeRow(TablePlan& t, TableWriter& tw, const RowBatch& batch, const RowJob& job,
                      const RowView& rv);
    uint32_t rebuildIndex(const TablePlan& t, std::size_t i, std::size_t ti,
                          Channel<RowBatch>& full, const SourceRows& source, uint32_t& distinct,
                          std::vector<uint32_t>& pages);
    Database& writerSource();
    void tellRows(const TablePlan& t, TableWriter& tw, std::size_t from, std::size_t to,
                  std::shared_ptr<TableDef>& layout);
    [[noreturn]] static void readerStopped(const TableDef& def);

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

    MemoryShares shares_;
    // What is left of the share for orders of rows: the reader takes from
    // it for a table, the writer gives it back once the table's indexes are
    // written.
    std::atomic<int64_t> orderPool_;
    SpillFolders spill_;
    std::unique_ptr<Database> writerSource_;  // the source, for the writer's thread
    uint32_t abandonedEnd_ = 0;               // pages written for a tree begun again, up to here
    uint32_t firstDataPage_ = 0;              // after the definitions and usage maps

    CopyObserver* observer_ = nullptr;
    static constexpr std::size_t kRowsToCheck = 2048;  // data pages told of at a time
    // Read by the reader only where the source may be damaged.
    std::unique_ptr<std::map<uint32_t, std::vector<uint32_t>>> ownedMaps_;
    std::unique_ptr<PageCensus> census_;
    IndexTree readerTree_;                   // the tree the reader walks: its pages
    std::vector<uint32_t> overflowTargets_;  // the rows the table's overflow pointers led to
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
    // table, so that its memory is not faulted in afresh for each).
    WrittenRows written_;
    std::vector<Bytes> lvSlots_;
    std::vector<ByteView> slots_;
    std::vector<LongValuePlacement> placements_;
};

}  // namespace jet
