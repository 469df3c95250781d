// The compaction's copier: takes the reader's batches on the calling thread
// and writes each table into the copy (rows repacked onto new pages, long
// values re-stored, indexes rebuilt from the source's keys, definitions
// patched to where everything went), telling whoever checks the copy as it
// takes shape. It owns the writer, the row buffers and the observer, and
// gathers each table's digest from the table's last batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "format/Bytes.h"
#include "format/Row.h"
#include "ops/compact/CopyChannel.h"
#include "ops/compact/CopyObserver.h"
#include "ops/compact/CopyPlan.h"
#include "ops/compact/RowMap.h"
#include "ops/compact/WatchedProgress.h"
#include "read/Database.h"
#include "read/RowDigest.h"
#include "write/DatabaseWriter.h"
#include "write/OutputFile.h"
#include "write/TableWriter.h"

namespace jet {

// The source opened again for the copier's thread, for the rare index that
// must be read a second time. The reader's fetches move the source's page
// cache, so the copier never reads through the reader's handle: it holds
// the source as const, and reopen() reads only what opening fixed (path,
// password, header, where the pages lie), never the cache.
class SourceAgain {
  public:
    explicit SourceAgain(const Database& src) : src_(src) {}
    Database& get() {
        if (!again_) again_ = src_.reopen();
        return *again_;
    }

  private:
    const Database& src_;
    std::unique_ptr<Database> again_;
};

class Copier {
  public:
    // The copy is written into out, the first pages for the header and the
    // global usage map.
    explicit Copier(OutputFile& out) : w_(out, 2), out_(out), alloc_(w_.alloc()) {}

    // What planning takes its pages and maps from.
    DatabaseWriter& writer() { return w_; }
    // Told of the copy as it is written, when there is one to tell.
    void tell(CopyObserver* observer) { observer_ = observer; }
    // Told how far the copy has come, when there is one to tell.
    void watch(CompactWatch* watch) { progress_.watch(watch); }

    // Writes every table of the plan as the reader hands it over; src is
    // opened again for an index that must be read twice.
    void copyTables(const CopyPlan& plan, const Database& src, CopyChannel& channel);
    // Then the usage maps and page 0; page 1's second row and owner from the
    // source (the reader is done with it).
    void finish(const CopyPlan& plan, PageFile& src);
    // Each table's digest, in the order of the plan's tables.
    const std::vector<TableDigest>& digests() const { return digests_; }

  private:
    // A large table's data pages told of so far, and the layout told with them.
    struct RowsTold {
        std::size_t pages = 0;
        std::shared_ptr<TableDef> layout;
    };
    // What copyTables() is working with.
    struct Job {
        const CopyPlan& plan;
        SourceAgain source;
        CopyChannel& channel;
    };

    void copyTable(Job& job, std::size_t ti);
    RowBatch nextBatch(Job& job, const TableDef& def);
    void copyBatch(const TablePlan& t, TableWriter& tw, const RowBatch& batch, RowsTold& told);
    void writeIndexes(Job& job, std::size_t ti, TableWriter& tw, const SourceRows& source,
                      const CatalogEntry* tell);
    void sealTable(TableWriter& tw, const CatalogEntry& entry);
    ByteView writeRow(const TablePlan& t, TableWriter& tw, const RowBatch& batch, const RowJob& job,
                      const RowView& rv);
    uint32_t rebuildIndex(Job& job, std::size_t ti, std::size_t i, const SourceRows& source,
                          uint32_t& distinct, std::vector<uint32_t>& pages);
    void tellRows(const TablePlan& t, TableWriter& tw, std::size_t from, std::size_t to,
                  std::shared_ptr<TableDef>& layout);
    [[noreturn]] static void readerStopped(const TableDef& def);

    static constexpr std::size_t kRowsToCheck = 2048;  // data pages told of at a time
    DatabaseWriter w_;
    OutputFile& out_;
    PageAllocator& alloc_;  // w_'s
    CopyObserver* observer_ = nullptr;
    WatchedProgress progress_;
    std::vector<TableDigest> digests_;
    uint32_t abandonedEnd_ = 0;  // pages written for a tree begun again, up to here
    // Buffers reused from row to row.
    Bytes built_;  // written rows
    // Where each row of the table being written went (kept from table to
    // table, so that its memory is not faulted in afresh for each).
    WrittenRows written_;
    std::vector<Bytes> lvSlots_;
    std::vector<ByteView> slots_;
    std::vector<LongValuePlacement> placements_;
};

}  // namespace jet
