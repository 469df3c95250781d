// Rebuilding an index of a table in the copy from the source's entries: each
// pointed at where its row went, table Ids in its key rewritten, and written
// as a tree in key order, entries with equal keys in the order of their new
// rows. The entries come in the source's order, which is key order but for a
// damaged source (or table Ids whose order changed): then the tree is begun
// again from all the entries, read from the source once more and sorted.
// Memory goes with the pages: entries pass through, and what must be held
// (rows of one key, the levels above the leaves, a whole index to sort) goes
// to spill files beyond its share.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "format/TableDef.h"
#include "ops/compact/RowMap.h"
#include "os/SpillFile.h"
#include "read/Database.h"
#include "util/FunctionRef.h"
#include "write/IndexTreeStream.h"
#include "write/OutputFile.h"
#include "write/PageAllocator.h"

namespace jet {

class IndexRebuild {
  public:
    struct Setup {
        const TableDef* def = nullptr;
        const RealIndex* ri = nullptr;
        const SourceRows* source = nullptr;
        const WrittenRows* written = nullptr;
        const std::map<uint32_t, uint32_t>* tableIds = nullptr;  // old definition page -> new
        bool rewriteIds = false;  // its table's Id columns are rewritten
        PageAllocator* alloc = nullptr;
        OutputFile* out = nullptr;
        uint32_t owner = 0;
        std::size_t tiesMemory = 0, levelsMemory = 0, sortMemory = 0;
        SpillFolders spill;
        std::function<Database&()> openSource;  // the source, for this thread
        // The entries once more, in the source's order (key, old row).
        std::function<void(FunctionRef<void(ByteView, RowPtr)>)> entriesAgain;
    };
    explicit IndexRebuild(Setup s);

    // Whether the entries are taken as they come (through add), which needs
    // the rows' places in memory; otherwise finish() reads them itself.
    bool takesEntries() const { return setup_.source->inMemory(); }
    // The next entries, in the source's order.
    void add(const PackedEntries& entries);
    void add(ByteView key, RowPtr old);
    // Writes what is left and the levels above; returns the root.
    uint32_t finish(std::vector<uint32_t>& pages, uint32_t& distinct);
    // Pages written for a tree begun again, up to here (0: none).
    uint32_t abandonedEnd() const { return abandonedEnd_; }

  private:
    using Visit = FunctionRef<void(ByteView key, RowPtr to)>;
    RowPtr mapped(RowPtr old) const;
    void put(ByteView key, RowPtr to);
    ByteView withIds(ByteView key);
    void endRun();
    void fromSource(Visit visit);
    void fromSourceExternally(Visit visit);
    void sortAll();

    Setup setup_;
    std::string where_;
    std::vector<std::pair<uint8_t, bool>> shape_;
    std::vector<std::size_t> idParts_;  // key parts of columns holding table Ids
    uint32_t base_;                     // the tree's first page
    std::unique_ptr<IndexTreeStream> tree_;
    uint64_t count_ = 0;
    uint32_t distinct_ = 0;
    bool disordered_ = false;
    uint32_t abandonedEnd_ = 0;
    // Entries with the key of the last: their new rows.
    bool inRun_ = false;
    Bytes runKey_, scratch_;
    std::vector<uint32_t> runRows_;
};

}  // namespace jet
