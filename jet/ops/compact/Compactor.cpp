#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "format/DataPage.h"
#include "format/IndexPage.h"
#include "format/LongValue.h"
#include "format/Rc4.h"
#include "format/Row.h"
#include "format/UsageMap.h"
#include "jet/Compact.h"
#include "jet/InPlace.h"
#include "keys/KeyEncoding.h"
#include "ops/Checker.h"
#include "ops/ConnectionString.h"
#include "os/Cleanup.h"
#include "os/FileIo.h"
#include "os/Lock.h"
#include "read/Database.h"
#include "read/RowDigest.h"
#include "write/PageBuilder.h"
#include "write/Writer.h"

namespace jet {

namespace {

struct TablePlan {
    TableDigest digest;
    CatalogEntry entry;
    const TableDef* def = nullptr;
    std::vector<uint32_t> newPages;  // definition pages in the copy
    int ownedMap = -1, freeMap = -1;
    std::vector<int> indexMaps;
    std::vector<std::pair<int, int>> lvMaps;
    std::vector<const Column*> idColumns;   // hold table Ids, rewritten
    std::vector<const Column*> sidColumns;  // hold SIDs, re-masked
    std::vector<const Column*> lvColumns;   // memo and OLE, by slot
};

// Which LONG columns of which system tables hold table Ids.
bool holdsTableIds(const std::string& table, const std::string& column) {
    return (table == "MSysObjects" && (column == "Id" || column == "ParentId")) ||
           (table == "MSysACEs" && column == "ObjectId") ||
           (table == "MSysNavPaneObjectIDs" && column == "Id");
}

bool holdsSids(const std::string& table, const std::string& column) {
    return (table == "MSysObjects" && column == "Owner") ||
           (table == "MSysACEs" && column == "SID");
}

// Where each row of a table went: old slot -> new slot, looked up once for
// every index entry. Open addressing: one probe or two, where a binary
// search over a large table misses the cache at every step.
class SlotMap {
  public:
    // Filled again for each table, in the memory the last one took.
    void assign(const std::vector<std::pair<uint32_t, uint32_t>>& moved) {
        std::size_t size = 16;
        while (size < 2 * moved.size()) size *= 2;
        mask_ = size - 1;
        slots_.assign(size, {kEmpty, 0});
        for (const auto& [from, to] : moved) {
            std::size_t i = hash(from);
            while (slots_[i].first != kEmpty && slots_[i].first != from) i = (i + 1) & mask_;
            slots_[i] = {from, to};
        }
    }
    std::optional<uint32_t> find(uint32_t from) const {
        for (std::size_t i = hash(from);; i = (i + 1) & mask_) {
            if (slots_[i].first == from) return slots_[i].second;
            if (slots_[i].first == kEmpty) return std::nullopt;
        }
    }

  private:
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;  // no row: page numbers stay below 2^19
    std::size_t hash(uint32_t v) const {
        return static_cast<std::size_t>((static_cast<uint64_t>(v) * 0x9E3779B97F4A7C15ull) >> 32) &
               mask_;
    }
    std::size_t mask_ = 0;
    std::vector<std::pair<uint32_t, uint32_t>> slots_;
};

// One row read from the source, ready to be written: its bytes (table Ids
// and SIDs rewritten) and the long values it holds, kept in its batch's
// buffer. A batch's rows and values lie one after another in one buffer,
// so that the writer reads them in order as the reader wrote them.
struct RowJob {
    RowPtr slot;                      // what index entries point to
    RowPtr at;                        // where its bytes are (different for an overflow row)
    uint32_t rowOff = 0, rowLen = 0;  // in the batch's data
    uint32_t firstValue = 0;          // its long values: the batch's values from here
};

struct LongValueExtent {
    uint32_t off = 0, len = 0;  // in the batch's data
    bool active = false;        // the row holds a value
};

// Rows pass from the reader to the writer in batches, in writing order.
struct RowBatch {
    std::size_t table = 0;  // index of the table in the plan
    std::vector<RowJob> rows;
    std::vector<LongValueExtent> values;  // by row, then by long-value column
    Bytes data;
    bool tableEnd = false;  // the table's last rows; its index trees follow
    // Instead of rows: the entries of the table's index (by its number
    // among the real indexes), as the source holds them.
    int index = -1;
    PackedEntries entries;
    std::size_t bytes() const {
        return data.size() + rows.size() * sizeof(RowJob) +
               values.size() * sizeof(LongValueExtent) + entries.keys.size() +
               entries.size() * sizeof(PackedEntries::Entry);
    }
    ByteView row(const RowJob& j) const { return ByteView(data).subspan(j.rowOff, j.rowLen); }
    const LongValueExtent& extent(const RowJob& j, std::size_t k) const {
        return values[j.firstValue + k];
    }
    ByteView value(const RowJob& j, std::size_t k) const {
        const LongValueExtent& e = extent(j, k);
        return ByteView(data).subspan(e.off, e.len);
    }
};

// A queue between two threads, bounded by the bytes it holds (an item is
// let in when the queue is empty, however large). cancel() wakes both
// sides for good.
template <typename T>
class Channel {
  public:
    explicit Channel(std::size_t capacity) : capacity_(capacity) {}
    // Waits for room; false when cancelled.
    bool push(T v, std::size_t bytes) {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock,
                      [&] { return items_.empty() || held_ + bytes <= capacity_ || cancelled_; });
        if (cancelled_) return false;
        held_ += bytes;
        items_.emplace_back(std::move(v), bytes);
        notEmpty_.notify_one();
        return true;
    }
    // Waits for an item; nothing once closed and drained, or cancelled.
    std::optional<T> pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [&] { return !items_.empty() || closed_ || cancelled_; });
        if (cancelled_ || items_.empty()) return std::nullopt;
        T v = std::move(items_.front().first);
        held_ -= items_.front().second;
        items_.pop_front();
        notFull_.notify_one();
        return v;
    }
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        notEmpty_.notify_all();
    }
    void cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        notEmpty_.notify_all();
        notFull_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable notFull_, notEmpty_;
    std::deque<std::pair<T, std::size_t>> items_;
    std::size_t capacity_;
    std::size_t held_ = 0;
    bool closed_ = false, cancelled_ = false;
};

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

    // Told of each table once everything it holds but its usage maps is in
    // the file, with the maps' rows and the pages each will list.
    using TableWritten =
        std::function<void(const CatalogEntry&, std::map<uint32_t, std::vector<uint32_t>>)>;
    void onTableWritten(TableWritten f) { tableWritten_ = std::move(f); }

    CompactResult run() {
        // The header first, so that the copy can be opened (and a finished
        // table checked) while later tables are written; finish() writes it
        // again, the same.
        out_.write(0, newPage0_);
        Channel<RowBatch> full(kBytesInFlight);
        std::exception_ptr readerFailed;
        std::thread reader([&] {
            try {
                readTables(full);
                full.close();
            } catch (...) {
                readerFailed = std::current_exception();
                full.close();
            }
        });
        try {
            for (std::size_t ti = 0; ti < tables_.size(); ++ti) copyTable(tables_[ti], ti, full);
        } catch (...) {
            full.cancel();
            reader.join();
            // A failed reader closes the channel, so the writer then only
            // sees the rows end early: the reader's error says what happened.
            if (readerFailed) std::rethrow_exception(readerFailed);
            throw;
        }
        reader.join();
        readerTree_ = {};
        readerEntries_ = {};
        spareEntries_.clear();
        if (readerFailed) std::rethrow_exception(readerFailed);
        finishFile();
        CompactResult r;
        r.sourcePages = file_.pageCount();
        r.destinationPages = alloc_.count();
        return r;
    }

    // What each table should hold in the copy, by its new definition page.
    std::map<uint32_t, std::pair<std::string, TableDigest>> expected() const {
        std::map<uint32_t, std::pair<std::string, TableDigest>> out;
        for (const auto& t : tables_) out[t.newPages.front()] = {t.def->name, t.digest};
        return out;
    }

    // Pages the copy will need about: the pages the source's maps list for
    // live structures, plus definitions and page 0 and 1.
    uint64_t estimatePages() {
        uint64_t n = 2;
        auto count = [&](RowPtr map) -> uint64_t {
            if (map.isNull()) return 0;
            return readUsageMap(file_, map, "usage map").pages.size();
        };
        for (const auto& t : tables_) {
            n += t.newPages.size() + count(t.def->ownedMap);
            for (const auto& ri : t.def->realIndexes) n += count(ri.usageMap);
            for (const auto& lv : t.def->longValueMaps) n += count(lv.owned);
        }
        return n;
    }

  private:
    int newMap() { return w_.newMap(); }
    MapRow& map(int i) { return w_.map(i); }

    void finishFile() {
        // Page 1's second row and owner come from the source.
        Bytes second(kUsageMapRowSize, 0);
        auto p1 = file_.page(1);
        DataPage dp = parseDataPage(*p1, 1);
        if (dp.slots.size() > 1 && !dp.slots[1].deleted && dp.slots[1].length() <= 512) {
            ByteView r = rowBytes(*p1, dp, 1, "page 1");
            second.assign(r.begin(), r.end());
        }
        w_.finish(newPage0_, dp.owner, second);
    }

    void plan() {
        auto tables = src_.localTables();
        std::sort(tables.begin(), tables.end(), [](const CatalogEntry& a, const CatalogEntry& b) {
            return a.tdefPage() < b.tdefPage();
        });
        if (tables.empty() || tables.front().tdefPage() != kCatalogPage) {
            failDamage("the catalogue does not list itself at page 2", kCatalogPage);
        }
        for (std::size_t i = 0; i < tables.size(); ++i) {
            if (i > 0 && tables[i].tdefPage() == tables[i - 1].tdefPage()) {
                failDamage("two tables share the definition page", tables[i].tdefPage());
            }
            if (static_cast<uint32_t>(tables[i].id) != tables[i].tdefPage()) {
                failDamage("table '" + tables[i].name + "' has an Id that is not a page number",
                           kCatalogPage);
            }
            TablePlan t;
            t.entry = tables[i];
            t.def = &src_.tableDef(tables[i].tdefPage(), tables[i].name);
            for (const auto& c : t.def->columns) {
                if (c.type == static_cast<uint8_t>(ColumnType::kLong) &&
                    holdsTableIds(t.def->name, c.name))
                    t.idColumns.push_back(&c);
                if (holdsSids(t.def->name, c.name) && !c.fixed()) t.sidColumns.push_back(&c);
                if (c.isLongValue() && !c.fixed()) t.lvColumns.push_back(&c);
            }
            std::sort(t.lvColumns.begin(), t.lvColumns.end(),
                      [](const Column* a, const Column* b) { return a->varIndex < b->varIndex; });
            tables_.push_back(t);
        }
        // Definition pages first, in the order of the old ones, so that table
        // Ids keep their order; continuation pages after them.
        for (auto& t : tables_) {
            t.newPages.push_back(alloc_.allocate());
            tdefMap_[t.def->firstPage] = t.newPages.front();
        }
        for (auto& t : tables_) {
            std::size_t len = t.def->length;
            std::size_t continuations = len > kPageSize
                                            ? (len - kPageSize + kTdefPayloadPerContinuation - 1) /
                                                  kTdefPayloadPerContinuation
                                            : 0;
            for (std::size_t k = 0; k < continuations; ++k) t.newPages.push_back(alloc_.allocate());
        }
        // Usage-map rows, each on a shared holder page.
        for (auto& t : tables_) {
            const TableDef& d = *t.def;
            t.ownedMap = newMap();
            t.freeMap = d.freeMap.isNull() ? -1 : newMap();
            for (const auto& ri : d.realIndexes)
                t.indexMaps.push_back(ri.usageMap.isNull() ? -1 : newMap());
            for (const auto& lv : d.longValueMaps) {
                int owned = lv.owned.isNull() ? -1 : newMap();
                int free = lv.free.isNull() ? -1 : newMap();
                t.lvMaps.emplace_back(owned, free);
            }
        }
        w_.placeMaps();
        // Security identifiers are masked with a key that depends on the password.
        oldSidKey_ = sidKey(file_.header().decoded);
        newPage0_ = withPassword(file_.header(), newPassword_);
        Page decoded = newPage0_;
        maskHeaderRegion(decoded.data());
        newSidKey_ = sidKey(decoded);
    }

    // Reads a row for the copy into the batch: table Ids and SIDs
    // rewritten, the long values it holds read whole.
    void readRow(TablePlan& t, ByteView bytes, RowBatch& batch, RowJob& job) {
        const TableDef& def = *t.def;
        const RowPtr at = job.at;
        const RowView rv = crackRow(def, bytes, at.page, at.row);
        Bytes& data = batch.data;
        const std::size_t rowOff = data.size();
        data.insert(data.end(), bytes.begin(), bytes.end());
        job.rowOff = static_cast<uint32_t>(rowOff);
        job.rowLen = static_cast<uint32_t>(bytes.size());
        auto inCopy = [&](ByteView part) {
            return data.data() + rowOff + static_cast<std::size_t>(part.data() - bytes.data());
        };
        for (const Column* c : t.idColumns) {
            auto b = columnBytes(def, *c, rv, at.page, at.row);
            if (b && b->size() == 4) {
                auto it = tdefMap_.find(u32(*b, 0));
                if (it != tdefMap_.end()) put32(inCopy(*b), it->second);
            }
        }
        if (oldSidKey_ != newSidKey_) {
            for (const Column* c : t.sidColumns) {
                auto b = columnBytes(def, *c, rv, at.page, at.row);
                if (b && !b->empty()) {
                    applySidMask(oldSidKey_, inCopy(*b), b->size());
                    applySidMask(newSidKey_, inCopy(*b), b->size());
                }
            }
        }

        // The long values the row holds, read whole (Ids and SIDs are never
        // long values, so their slots are the source's).
        const std::size_t nLv = t.lvColumns.size();
        job.firstValue = static_cast<uint32_t>(batch.values.size());
        batch.values.resize(batch.values.size() + nLv);
        if (def.numVar > 0) {
            for (std::size_t k = 0; k < nLv; ++k) {
                const Column* c = t.lvColumns[k];
                if (c->varIndex >= rv.varSlots.size() || !rv.notNull(c->number)) continue;
                auto [start, end] = rv.varSlots[c->varIndex];
                if (start == end) continue;
                const std::size_t off = data.size();
                appendLongValue(file_, bytes.subspan(start, end - start), at.page, at.row, data);
                if (data.size() > UINT32_MAX)  // each value is bounded by the file, not their sum
                    failDamage("table '" + def.name + "': the row's long values are too large",
                               at.page, at.row);
                batch.values[job.firstValue + k] = {static_cast<uint32_t>(off),
                                                    static_cast<uint32_t>(data.size() - off), true};
            }
        }

        // The digest of what the row holds, from the batch just filled (its
        // values still in this thread's cache); a long column of another
        // shape is read here.
        RowView patched = rv;
        patched.bytes = batch.row(job);
        t.digest.add(rowDigest(def, patched, at.page, at.row, [&](const Column& c, ByteView slot) {
            std::size_t k = 0;
            while (k < nLv && t.lvColumns[k] != &c) ++k;
            if (k < nLv && batch.extent(job, k).active) return batch.value(job, k);
            readLongValueInto(file_, slot, at.page, at.row, otherValue_);
            return ByteView(otherValue_);
        }));
    }

    // The row as the copy stores it: long values re-stored in the form
    // their size calls for. The bytes stay valid until the next call.
    ByteView writeRow(TablePlan& t, const RowBatch& batch, const RowJob& job, const RowView& rv,
                      std::map<uint16_t, LongValueWriter>& lvWriters) {
        const TableDef& def = *t.def;
        const std::size_t nLv = t.lvColumns.size();
        const ByteView row = batch.row(job);
        if (nLv == 0 || def.numVar == 0) return row;

        slots_.clear();
        for (auto [s, e] : rv.varSlots) slots_.push_back(row.subspan(s, e - s));
        // Which long values go into the row and which out to LVAL pages.
        pending_.clear();
        for (std::size_t k = 0; k < nLv; ++k) {
            const LongValueExtent& e = batch.extent(job, k);
            if (e.active) pending_.push_back({k, e.len <= kInlineLimit});
        }
        auto valueSize = [&](std::size_t k) { return batch.extent(job, k).len; };
        // Too large with the small values inline: move them out, largest first.
        auto size = [&] {
            std::size_t n = row.size();
            for (const auto& p : pending_) {
                n -= slots_[t.lvColumns[p.lv]->varIndex].size();
                n += kLongValueHeaderSize + (p.inlined ? valueSize(p.lv) : 0);
            }
            return n;
        };
        while (size() > kMaxRowSize) {
            Pending* largest = nullptr;
            for (auto& p : pending_) {
                if (p.inlined && (!largest || valueSize(p.lv) > valueSize(largest->lv)))
                    largest = &p;
            }
            if (!largest)
                failDamage("table '" + def.name + "': row too large", job.at.page, job.at.row);
            largest->inlined = false;
        }
        lvSlots_.resize(std::max(lvSlots_.size(), nLv));
        for (auto& p : pending_) {
            const Column* c = t.lvColumns[p.lv];
            const ByteView v = batch.value(job, p.lv);
            Bytes& slot = lvSlots_[p.lv];
            if (p.inlined) {
                slot.assign(kLongValueHeaderSize, 0);
                put32(slot.data(),
                      static_cast<uint32_t>(v.size()) | (static_cast<uint32_t>(kLvInline) << 24));
                slot.insert(slot.end(), v.begin(), v.end());
            } else {
                auto it = lvWriters.try_emplace(c->number, alloc_, out_).first;
                const auto header = it->second.store(v);
                slot.assign(header.begin(), header.end());
            }
            slots_[c->varIndex] = slot;
        }
        buildRowInto(built_, rv.ncols, row.subspan(2, rv.fixedEnd - 2), slots_,
                     row.subspan(rv.maskOffset), true);
        return built_;
    }

    // Reads every table's rows in the order they are written (primary-key
    // order when there is a primary key, page order otherwise) on its own
    // thread, and hands them over in batches, each table's index trees
    // after its rows.
    void readTables(Channel<RowBatch>& full) {
        for (std::size_t ti = 0; ti < tables_.size(); ++ti) {
            if (!readTable(ti, full)) return;
        }
    }

    bool readTable(std::size_t ti, Channel<RowBatch>& full) {
        TablePlan& t = tables_[ti];
        const TableDef& def = *t.def;
        RowBatch batch = spareBatch(ti);
        auto take = [&](RowPtr slot) {
            RowJob& job = batch.rows.emplace_back();
            job.slot = slot;
            PageRef holder;
            ByteView bytes = src_.fetchRow(def, slot, holder, &job.at);
            readRow(t, bytes, batch, job);
            const std::size_t held = batch.bytes();
            if (batch.rows.size() < kBatchRows && held < kBatchBytes) return true;
            if (!full.push(std::move(batch), held)) return false;
            batch = spareBatch(ti);
            return true;
        };
        // The pages the table's map lists; those that are not its data pages
        // are passed over.
        std::vector<uint32_t> mapPages;
        if (!def.ownedMap.isNull()) {
            mapPages =
                readUsageMap(file_, def.ownedMap, ("table '" + def.name + "' owned pages").c_str())
                    .pages;
        }
        auto ownPage = [&](uint32_t p, PageRef& page) {
            page = file_.page(p);
            return isDataPageOf(*page, def.firstPage);
        };
        auto liveRows = [](const DataPage& dp) {
            std::size_t n = 0;
            for (const Slot& s : dp.slots) n += s.deleted ? 0 : 1;
            return n;
        };

        const LogicalIndex* pk = def.primaryKey();
        PackedEntries primaryKey;  // as read for the order of the rows
        if (!pk) {
            for (uint32_t p : mapPages) {
                PageRef page;
                if (!ownPage(p, page)) continue;
                const DataPage dp = parseDataPage(*page, p);
                for (std::size_t i = 0; i < dp.slots.size(); ++i) {
                    if (!dp.slots[i].deleted && !take({p, static_cast<uint8_t>(i)})) return false;
                }
            }
        } else {
            // The primary key must list each live row once. Its entries give
            // the order; each row's page is counted as it is first met, and
            // pages it never meets must hold no live row.
            const RealIndex& ri = def.realIndexes[pk->realIndex];
            // The entries are kept, and passed on after the rows for the
            // writer to rebuild the key from.
            readTree(def, ri, "table '" + def.name + "', primary key");
            primaryKey = std::move(readerEntries_);
            const std::vector<PackedEntries::Entry>& order = primaryKey.entries;
            auto notExactly = [&] {
                failDamage("table '" + def.name +
                               "': the primary key does not list exactly the table's rows",
                           ri.rootPage);
            };
            {
                std::vector<uint32_t> rows;
                rows.reserve(order.size());
                for (const auto& e : order) rows.push_back(e.row.toU32());
                std::sort(rows.begin(), rows.end());
                if (std::adjacent_find(rows.begin(), rows.end()) != rows.end()) notExactly();
            }
            std::sort(mapPages.begin(), mapPages.end());
            std::vector<bool> met(file_.pageCount(), false);
            std::size_t live = 0;
            for (const auto& e : order) {
                const RowPtr row = e.row;
                const uint32_t p = row.page;
                if (p < met.size() && !met[p]) {
                    PageRef page;
                    if (!std::binary_search(mapPages.begin(), mapPages.end(), p) ||
                        !ownPage(p, page))
                        notExactly();
                    live += liveRows(parseDataPage(*page, p));
                    met[p] = true;
                }
                if (!take(row)) return false;
            }
            for (uint32_t p : mapPages) {
                PageRef page;
                if (p >= met.size() || met[p] || !ownPage(p, page)) continue;
                if (liveRows(parseDataPage(*page, p)) != 0) notExactly();
            }
            if (live != order.size()) notExactly();
        }
        batch.tableEnd = true;
        const std::size_t bytes = batch.bytes();
        if (!full.push(std::move(batch), bytes)) return false;
        // Then each index as the source holds it, read here while the writer
        // is still busy with the rows: the writer only maps the entries to
        // where the rows went and writes the tree.
        for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
            RowBatch tree = spareBatch(ti);
            tree.index = static_cast<int>(i);
            if (pk && i == static_cast<std::size_t>(pk->realIndex)) {
                tree.entries = std::move(primaryKey);
            } else {
                readTree(def, def.realIndexes[i], "table '" + def.name + "', index");
                tree.entries = std::move(readerEntries_);
            }
            const std::size_t held = tree.bytes();
            if (!full.push(std::move(tree), held)) return false;
        }
        return true;
    }

    // Reads an index tree of the source into readerEntries_, into buffers
    // kept from an earlier tree when there are some.
    void readTree(const TableDef& def, const RealIndex& ri, const std::string& where) {
        readerEntries_ = takeEntries();
        readIndexTreePacked(file_, ri.rootPage, def.firstPage, where, readerTree_, readerEntries_);
    }

    // Entry vectors go round between the reader and the writer: a large
    // tree's entries take tens of megabytes, which the system would
    // otherwise map afresh, and fault in page by page, for every tree.
    PackedEntries takeEntries() {
        std::lock_guard<std::mutex> lock(spareMutex_);
        if (spareEntries_.empty()) return {};
        PackedEntries v = std::move(spareEntries_.back());
        spareEntries_.pop_back();
        return v;
    }
    void giveBackEntries(PackedEntries&& v) {
        v.clear();
        std::lock_guard<std::mutex> lock(spareMutex_);
        if (spareEntries_.size() < kSpareEntries) spareEntries_.push_back(std::move(v));
    }

    RowBatch spareBatch(std::size_t table) {
        RowBatch b;
        {
            std::lock_guard<std::mutex> lock(spareMutex_);
            if (!spare_.empty()) {
                b = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        b.table = table;
        b.rows.clear();
        b.values.clear();
        b.data.clear();
        b.tableEnd = false;
        b.index = -1;
        b.entries.clear();
        return b;
    }

    void recycle(RowBatch&& b) {
        if (b.entries.entries.capacity() != 0) giveBackEntries(std::move(b.entries));
        b.entries = {};
        std::lock_guard<std::mutex> lock(spareMutex_);
        if (spare_.size() < kSpareBatches) spare_.push_back(std::move(b));
    }

    [[noreturn]] static void readerStopped(const TableDef& def) {
        failDamage("table '" + def.name + "': its rows ended early", def.firstPage);
    }

    void copyTable(TablePlan& t, std::size_t ti, Channel<RowBatch>& full) {
        const TableDef& def = *t.def;
        DataPageBuilder data(t.newPages.front());
        uint32_t dataPage = 0;
        std::vector<uint32_t> dataPages;
        std::map<uint16_t, LongValueWriter> lvWriters;
        std::vector<std::pair<uint32_t, uint32_t>>& moved = moved_;  // old slot -> new slot
        moved.clear();

        for (bool last = false; !last;) {
            std::optional<RowBatch> batch = full.pop();
            if (!batch) readerStopped(def);
            if (batch->table != ti || batch->index >= 0)
                failDamage("rows of two tables crossed", def.firstPage);
            for (const RowJob& job : batch->rows) {
                const RowView rv = crackRow(def, batch->row(job), job.at.page, job.at.row);
                ByteView row = writeRow(t, *batch, job, rv, lvWriters);
                if (row.size() > kMaxRowSize)
                    failDamage("table '" + def.name + "': row too large", job.at.page, job.at.row);
                if (dataPage == 0 || !data.fits(row.size())) {
                    if (dataPage != 0) out_.write(dataPage, data.build());
                    data.clear();
                    dataPage = alloc_.allocate();
                    dataPages.push_back(dataPage);
                }
                uint8_t newSlot = data.add(row);
                moved.emplace_back(job.slot.toU32(), RowPtr{dataPage, newSlot}.toU32());
            }
            last = batch->tableEnd;
            recycle(std::move(*batch));
        }
        if (dataPage != 0) out_.write(dataPage, data.build());
        for (auto& [col, w] : lvWriters) w.finish();
        movedTo_.assign(moved);
        const SlotMap& movedTo = movedTo_;
        std::vector<uint32_t> indexPages;  // of every index

        Bytes buf(def.buffer.begin(), def.buffer.begin() + def.length);
        put32(buf.data() + kTdefRowCount, static_cast<uint32_t>(moved.size()));
        map(t.ownedMap).pages = dataPages;
        put32(buf.data() + kTdefOwnedMap, map(t.ownedMap).at.toU32());
        if (t.freeMap >= 0) {
            map(t.freeMap).pages = dataPages;
            put32(buf.data() + kTdefFreeMap, map(t.freeMap).at.toU32());
        }
        for (std::size_t i = 0; i < def.longValueMaps.size(); ++i) {
            const auto& lv = def.longValueMaps[i];
            std::vector<uint32_t> pages;
            if (auto it = lvWriters.find(lv.column); it != lvWriters.end())
                pages = it->second.pages();
            auto [owned, free] = t.lvMaps[i];
            uint32_t ownedAt = 0, freeAt = 0;
            if (owned >= 0) {
                map(owned).pages = pages;
                ownedAt = map(owned).at.toU32();
            }
            if (free >= 0) {
                map(free).pages = pages;
                freeAt = map(free).at.toU32();
            }
            put32(buf.data() + lv.blockOffset + 2, ownedAt);
            put32(buf.data() + lv.blockOffset + 6, freeAt);
        }
        for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
            const RealIndex& ri = def.realIndexes[i];
            std::optional<RowBatch> tree = full.pop();
            if (!tree) readerStopped(def);
            if (tree->table != ti || tree->index != static_cast<int>(i))
                failDamage("rows of two tables crossed", def.firstPage);
            std::vector<uint32_t> pages;
            uint32_t distinct = 0;
            uint32_t root = rebuildIndex(def, ri, tree->entries, movedTo, moved.size(),
                                         t.newPages.front(), pages, distinct);
            indexPages.insert(indexPages.end(), pages.begin(), pages.end());
            recycle(std::move(*tree));
            put32(buf.data() + ri.blockOffset + 38, root);
            put32(buf.data() + ri.statsOffset + 4, distinct);
            if (t.indexMaps[i] >= 0) {
                auto& m = map(t.indexMaps[i]);
                m.pages = pages;
                put32(buf.data() + ri.blockOffset + 34, m.at.toU32());
            }
        }
        for (const auto& li : def.logicalIndexes) {
            if (li.fkOtherTable == 0) continue;
            auto it = tdefMap_.find(li.fkOtherTable);
            if (it != tdefMap_.end()) put32(buf.data() + li.blockOffset + 17, it->second);
        }
        w_.writeTableDef(t.newPages, buf);
        if (tableWritten_) {
            // Everything the table holds but its maps, never to be written again.
            out_.seal(t.newPages);
            out_.seal(dataPages);
            for (const auto& [col, w] : lvWriters) out_.seal(w.pages());
            out_.seal(indexPages);
            out_.flush();
            CatalogEntry entry = t.entry;
            entry.id = static_cast<int32_t>(t.newPages.front());
            std::map<uint32_t, std::vector<uint32_t>> maps;
            auto give = [&](int i) {
                if (i >= 0) maps[map(i).at.toU32()] = map(i).pages;
            };
            give(t.ownedMap);
            give(t.freeMap);
            for (int i : t.indexMaps) give(i);
            for (auto [owned, free] : t.lvMaps) {
                give(owned);
                give(free);
            }
            tableWritten_(entry, std::move(maps));
        }
    }

    // Writes the index from the source's entries, pointed at where the rows went.
    uint32_t rebuildIndex(const TableDef& def, const RealIndex& ri, PackedEntries& packed,
                          const SlotMap& moved, std::size_t rows, uint32_t newOwner,
                          std::vector<uint32_t>& pages, uint32_t& distinct) {
        const std::string where = "table '" + def.name + "', index";
        // Key parts of columns that hold table Ids change with the Ids.
        const auto shape = keyShape(def, ri);
        std::vector<std::size_t> idParts;
        for (std::size_t k = 0; k < ri.columns.size(); ++k) {
            const Column* c = def.columnByNumber(ri.columns[k].column);
            if (c->type == static_cast<uint8_t>(ColumnType::kLong) &&
                holdsTableIds(def.name, c->name)) {
                idParts.push_back(k);
            }
        }
        std::vector<PackedEntries::Entry>& entries = packed.entries;
        for (auto& e : entries) {
            std::optional<uint32_t> to = moved.find(e.row.toU32());
            if (!to) {
                failDamage(where + " entry points to a row that is not live", e.row.page,
                           e.row.row);
            }
            e.row = RowPtr::fromU32(*to);
            if (idParts.empty()) continue;
            const ByteView key = packed.key(e);
            auto parts = splitKeyOrFail(key, shape, ri.rootPage, where);
            for (std::size_t k : idParts) {
                auto [off, len] = parts[k];
                if (len != 5) continue;  // null
                const bool asc = shape[k].second;
                uint32_t v = be32(key, off + 1);
                if (!asc) v = ~v;
                v ^= 0x80000000u;
                auto m = tdefMap_.find(v);
                if (m == tdefMap_.end()) continue;
                uint32_t enc = m->second ^ 0x80000000u;
                if (!asc) enc = ~enc;
                putBe32(packed.keyData(e) + off + 1, enc);
            }
        }
        if (!ri.ignoreNulls() && entries.size() != rows) {
            failDamage(where + " does not hold one entry for each row", ri.rootPage);
        }
        auto keyOf = [&](const PackedEntries::Entry& e) { return packed.key(e); };
        auto before = [&](const PackedEntries::Entry& a, const PackedEntries::Entry& b) {
            int c = compareKeys(keyOf(a), keyOf(b));
            return c != 0 ? c < 0 : a.row < b.row;
        };
        // The source's entries are in key order already; rows moved, so only
        // entries with equal keys may need reordering among themselves.
        // Entries out of key order (a damaged source) are sorted whole.
        bool keyOrder = true;
        for (std::size_t i = 1; i < entries.size() && keyOrder; ++i)
            keyOrder = compareKeys(keyOf(entries[i - 1]), keyOf(entries[i])) <= 0;
        if (!keyOrder) {
            std::sort(entries.begin(), entries.end(), before);
        } else {
            for (std::size_t i = 0; i < entries.size();) {
                std::size_t j = i + 1;
                while (j < entries.size() && compareKeys(keyOf(entries[j]), keyOf(entries[i])) == 0)
                    ++j;
                if (j - i > 1)
                    std::sort(entries.begin() + static_cast<std::ptrdiff_t>(i),
                              entries.begin() + static_cast<std::ptrdiff_t>(j), before);
                i = j;
            }
        }
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i == 0 || compareKeys(keyOf(entries[i]), keyOf(entries[i - 1])) != 0) ++distinct;
        }
        return w_.writeTree(packed, newOwner, pages);
    }

    static std::vector<std::pair<std::size_t, std::size_t>> splitKeyOrFail(
        ByteView key, const std::vector<std::pair<uint8_t, bool>>& shape, uint32_t page,
        const std::string& where) {
        auto parts = splitKey(key, shape);
        if (!parts) failDamage(where + " holds a key that cannot be read", page);
        return *parts;
    }

    Database& src_;
    PageFile& file_;
    DatabaseWriter w_;
    OutputFile& out_;
    PageAllocator& alloc_;
    std::array<uint8_t, kPasswordBytes> newPassword_;
    std::vector<TablePlan> tables_;
    std::map<uint32_t, uint32_t> tdefMap_;  // old definition page (= table Id) -> new
    uint32_t oldSidKey_ = 0, newSidKey_ = 0;
    Page newPage0_{};

    TableWritten tableWritten_;
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
    struct Pending {
        std::size_t lv;  // index into the table's long-value columns
        bool inlined;
    };
    Bytes built_, otherValue_;  // written rows; values of other long columns
    // Where each row of the table being written went (kept from table to
    // table: at 1.9 GB they take 12 MB, which would otherwise be faulted in
    // afresh for each table).
    std::vector<std::pair<uint32_t, uint32_t>> moved_;
    SlotMap movedTo_;
    std::vector<Bytes> lvSlots_;
    std::vector<ByteView> slots_;
    std::vector<Pending> pending_;
};

bool pathExists(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

// Refuses early when the file system the destination is on lacks the room.
void checkRoom(int destinationFd, const std::string& destination, uint64_t pages) {
    struct statvfs vfs {};
    if (::fstatvfs(destinationFd, &vfs) != 0) return;  // cannot tell: writing will
    const uint64_t need = pages * kPageSize + pages * kPageSize / 10;
    const uint64_t have = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    if (have < need) {
        fail(ErrorCode::kNoSpace, "There is not enough room on the disk for the compacted copy '" +
                                      destination + "': it needs about " + std::to_string(need) +
                                      " bytes, " + std::to_string(have) + " are free.");
    }
}

// Checks each table of the copy once it is written, on a thread of its own,
// while later tables are copied. A check that cannot be made leaves its
// table to the check of the whole copy.
class EarlyChecks {
  public:
    // heldFd: the copy as the caller holds it open (-1: opened by its path).
    EarlyChecks(std::string path, std::string password, int heldFd)
        : path_(std::move(path)), password_(std::move(password)), heldFd_(heldFd) {}
    ~EarlyChecks() {  // the copy failed, or was checked: what is left is not needed
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.clear();
        }
        finish();
    }
    EarlyChecks(const EarlyChecks&) = delete;
    EarlyChecks& operator=(const EarlyChecks&) = delete;

    void add(const CatalogEntry& table, std::map<uint32_t, std::vector<uint32_t>> maps) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back({table, std::move(maps)});
        }
        more_.notify_one();
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread([this] { work(); });
            } catch (const std::system_error&) {
                std::lock_guard<std::mutex> lock(mutex_);
                jobs_.clear();  // no thread to spare: the whole copy is checked at the end
            }
        }
    }

    // Waits for the checks; the tables checked, by definition page.
    const std::map<uint32_t, CheckedTable>& finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        more_.notify_one();
        if (thread_.joinable()) thread_.join();
        return done_;
    }

  private:
    struct Job {
        CatalogEntry table;
        std::map<uint32_t, std::vector<uint32_t>> maps;
    };

    void work() {
        CheckOptions options;  // every table's keys, as for the whole copy
        while (true) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                more_.wait(lock, [&] { return closed_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            try {
                // Opened again for each table: the file has grown since.
                auto copy = Database::open(path_, password_, heldFd_);
                CheckedTable t = checkTableEarly(*copy, job.table, std::move(job.maps), options);
                // Pages are given out in turn, so the table's last page ends
                // what is checked. Let go of it: a copy of gigabytes would
                // otherwise fill the page cache, pushing out what the rest
                // of the machine uses, and the system would find fresh
                // memory for each page written; let go, the same memory
                // takes the tables after.
                const auto last = std::max_element(t.livePages.begin(), t.livePages.end());
                if (last != t.livePages.end()) copy->file().releaseCached(*last + 1);
                done_.emplace(job.table.tdefPage(), std::move(t));
            } catch (...) {
                // Left to the check of the whole copy.
            }
        }
    }

    std::string path_, password_;
    int heldFd_;
    std::mutex mutex_;
    std::condition_variable more_;
    std::deque<Job> jobs_;
    bool closed_ = false;
    std::thread thread_;
    std::map<uint32_t, CheckedTable> done_;  // the thread's alone until it is joined
};

// Reopens the copy, checks it and compares every table with what was written.
// Tables checked early are taken as checked once their maps are found as given.
void verifyCopy(const std::string& path, const std::string& password, int heldFd,
                const std::map<uint32_t, std::pair<std::string, TableDigest>>& expected,
                const std::map<uint32_t, CheckedTable>& checkedEarly) {
    auto copy = Database::open(path, password, heldFd);
    // Keys are copied from the source's indexes, so a key that disagrees with
    // its row there would disagree in the copy too: check every table's keys.
    CheckOptions options;
    options.threads = 2;
    options.checked = &checkedEarly;
    CheckResult report = checkDatabase(*copy, options);
    if (!report.ok()) {
        fail(ErrorCode::kVerifyFailed,
             "The compacted copy failed its check and was removed: " + report.problems.front());
    }
    for (const auto& [page, want] : expected) {
        auto it = report.digests.find(page);
        const TableDigest got = it == report.digests.end() ? TableDigest{} : it->second;
        if (got.rows != want.second.rows) {
            fail(ErrorCode::kVerifyFailed,
                 "The compacted copy was removed: table '" + want.first + "' has " +
                     std::to_string(got.rows) + " rows in the copy, " +
                     std::to_string(want.second.rows) + " in the database.");
        }
        if (!(got == want.second)) {
            fail(ErrorCode::kVerifyFailed, "The compacted copy was removed: the rows of table '" +
                                               want.first + "' differ from the database's.");
        }
    }
}

}  // namespace

Result<CompactResult> compactFile(const CompactRequest& req) {
    int fd = -1;
    bool created = false;
    auto result = guard([&]() -> CompactResult {
        std::array<uint8_t, kPasswordBytes> newPassword{};
        if (!encodePassword(req.destinationPassword, newPassword)) {
            fail(ErrorCode::kPasswordTooLong, "The password is too long: at most 20 characters.");
        }
        auto started = std::chrono::steady_clock::now();
        auto lap = [&] {
            auto now = std::chrono::steady_clock::now();
            double s = std::chrono::duration<double>(now - started).count();
            started = now;
            return s;
        };
        auto db = Database::open(req.sourcePath, req.sourcePassword, req.sourceFd);
        // A source the caller holds is locked already, by the caller.
        if (req.sourceFd < 0) lockForCompaction(db->file().fd(), req.sourcePath);
        if (req.destinationFd >= 0) {
            struct stat st {};
            if (::fstat(req.destinationFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) {
                fail(ErrorCode::kFileAccess,
                     "The file '" + req.destinationPath + "' is not an empty file to write.");
            }
            fd = req.destinationFd;
        } else if (pathExists(req.destinationPath)) {
            fail(ErrorCode::kDestinationExists,
                 "The file '" + req.destinationPath + "' already exists.");
        }
        if (fd < 0)
            fd = fileIo().open(req.destinationPath.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            int err = errno;
            if (err == EEXIST) {
                fail(ErrorCode::kDestinationExists,
                     "The file '" + req.destinationPath + "' already exists.");
            }
            if (err == ENOSPC || err == EDQUOT) {
                fail(ErrorCode::kNoSpace, "There is not enough room on the disk to create '" +
                                              req.destinationPath + "'.");
            }
            fail(ErrorCode::kFileAccess,
                 "Cannot create '" + req.destinationPath + "': " + std::strerror(err) + ".");
        }
        created = req.destinationFd < 0;
        // A copy the caller holds is the caller's to remove when interrupted.
        std::optional<RemoveOnSignal> removeOnSignal;
        if (created) removeOnSignal.emplace(req.destinationPath);
        OutputFile out(fd, db->header().databaseKey, req.destinationPath);
        Compactor c(*db, out, newPassword);
        EarlyChecks early(req.destinationPath, req.destinationPassword, req.destinationFd);
        if (req.verify) {
            c.onTableWritten(
                [&](const CatalogEntry& table, std::map<uint32_t, std::vector<uint32_t>> maps) {
                    early.add(table, std::move(maps));
                });
        }
        c.prepare();
        checkRoom(fd, req.destinationPath, c.estimatePages());
        CompactResult r = c.run();
        out.flush();
        r.copySeconds = lap();
        // Every page is written: the copy goes to disk while it is checked
        // (the check reads what was written). Both must succeed.
        std::exception_ptr flushFailed;
        const auto flushStart = std::chrono::steady_clock::now();
        auto flushed = flushStart;
        std::thread flusher([&] {
            try {
                out.fsync();
            } catch (...) {
                flushFailed = std::current_exception();
            }
            flushed = std::chrono::steady_clock::now();
        });
        try {
            if (req.verify)
                verifyCopy(req.destinationPath, req.destinationPassword, req.destinationFd,
                           c.expected(), early.finish());
        } catch (...) {
            flusher.join();
            throw;
        }
        r.verifySeconds = lap();
        flusher.join();
        if (flushFailed) std::rethrow_exception(flushFailed);
        r.flushSeconds = std::chrono::duration<double>(flushed - flushStart).count();
        const int closing = fd;
        fd = -1;
        if (req.destinationFd < 0 && fileIo().close(closing) != 0) {
            fail(ErrorCode::kIo,
                 "Cannot write '" + req.destinationPath + "': " + std::strerror(errno) + ".");
        }
        return r;
    });
    if (fd >= 0 && req.destinationFd < 0) fileIo().close(fd);
    if (!result.ok() && created && fileIo().unlink(req.destinationPath.c_str()) != 0 &&
        errno != ENOENT) {
        Error e = result.error();
        e.description += " The partial copy '" + req.destinationPath + "' could not be removed.";
        return e;
    }
    return result;
}

Result<RepairSummary> CompactDatabase(const std::string& sourceConnection,
                                      const std::string& destinationConnection) {
    return CompactDatabase(sourceConnection, destinationConnection, HeldFiles{});
}

Result<RepairSummary> CompactDatabase(const std::string& sourceConnection,
                                      const std::string& destinationConnection,
                                      const HeldFiles& held) {
    auto src = parseConnectionString(sourceConnection);
    if (!src) return src.error();
    auto dst = parseConnectionString(destinationConnection);
    if (!dst) return dst.error();
    CompactRequest req;
    req.sourcePath = src->dataSource;
    req.sourcePassword = src->password.value_or("");
    req.destinationPath = dst->dataSource;
    req.destinationPassword = dst->password.value_or("");
    req.sourceFd = held.source;
    req.destinationFd = held.destination;
    auto r = compactFile(req);
    if (!r) return r.error();
    return r->repair;
}

void keepLargeBlocks() {
    // A compaction allocates and frees index trees of tens of megabytes,
    // table after table. By default glibc hands such blocks back to the
    // system at once and the next table faults them in again page by page.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc accepts on 64-bit systems
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
}

}  // namespace jet
