// The compaction's reader: every table's rows, long values and index
// entries, read from the source on a thread of its own and handed to the
// copier in batches, in the order they are written. It is made, used and
// dropped on that thread: all it holds is its own, the source's handle (and
// with it the page cache its fetches move) among them. Each table's digest
// goes to the copier in the table's last batch. Its parts: reading rows
// (CopyReader.cpp), in primary-key order (KeyOrder.cpp), from a row source
// (CompactSourced.cpp), and where it stops for rows it could lose
// (CompactSoundness.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "format/Bytes.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "ops/compact/CopyChannel.h"
#include "ops/compact/CopyPlan.h"
#include "os/ExternalSort.h"
#include "read/Database.h"
#include "read/PageCensus.h"
#include "read/RowDigest.h"

namespace jet {

class Outbox;

class CopyReader {
  public:
    // src: the source, this reader's alone until it is dropped.
    CopyReader(const CopyPlan& plan, Database& src, CopyChannel& channel)
        : plan_(plan), src_(src), file_(src.file()), channel_(channel) {}

    // Reads every table, then closes the channel; ends quietly when the
    // copier cancels it.
    void readTables();

  private:
    void readTable(std::size_t ti);
    void readSourced(std::size_t ti);
    void sendIndex(std::size_t ti, std::size_t i);
    void endTable(std::unique_ptr<SourceRows> source, Outbox& out);
    // How far reading has come: of the table's data pages, done of count
    // passed, its row pages in proportion; then each index's pages.
    void passedPages(const TablePlan& t, std::size_t done, std::size_t count);
    void passedIndex(const TablePlan& t, std::size_t i);

    // A row, into a batch (CopyReader.cpp).
    void take(const TablePlan& t, RowPtr slot, RowBatch& batch);
    void readRow(const TablePlan& t, ByteView bytes, RowBatch& batch, RowJob& job);
    void rewriteIds(const TablePlan& t, const RowView& rv, RowPtr at, uint8_t* copy) const;
    void readLongValues(const TablePlan& t, const RowView& rv, RowBatch& batch, RowJob& job);
    void digestRow(const TablePlan& t, const RowView& rv, const RowBatch& batch, const RowJob& job);

    // In page or key order (CopyReader.cpp, KeyOrder.cpp).
    void readInPageOrder(const TablePlan& t, const std::vector<uint32_t>& mapPages,
                         SourceRows& source, Outbox& out);
    void readInKeyOrder(const TablePlan& t, const std::vector<uint32_t>& mapPages,
                        SourceRows& source, Outbox& out);
    void readKeyAlongPages(const TablePlan& t, const std::vector<uint32_t>& mapPages,
                           SourceRows& source, Outbox& out);
    void readKeyAcrossPages(const TablePlan& t, const std::vector<uint32_t>& mapPages,
                            ExternalSorter<uint64_t>& pairs, SourceRows& source, Outbox& out);

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

    const CopyPlan& plan_;
    Database& src_;
    PageFile& file_;  // src_'s
    CopyChannel& channel_;
    uint64_t pagesRead_ = 0;                 // of the plan's pages to read, sent with each batch
    TableDigest digest_;                     // of the table being read
    Bytes otherValue_;                       // a long value read for the digest alone
    IndexTree tree_;                         // the tree being walked: its pages
    std::vector<uint32_t> overflowTargets_;  // the rows the table's overflow pointers led to
    // Read only where the source may be damaged.
    std::unique_ptr<std::map<uint32_t, std::vector<uint32_t>>> ownedMaps_;
    std::unique_ptr<PageCensus> census_;
};

}  // namespace jet
