// Reading a table's rows in the order of its primary key without reading a
// page once for each of its rows. The key is walked first: when it lists the
// rows in the order of their pages (an AutoNumber key), the rows are read
// along the key, page after page. Otherwise the pairs of row and place in key
// order are sorted by row, the pages are read in order, and the rows are
// staged and passed on in key order (RowRuns); both sorts spill what does not
// fit their share of memory.
//
// Either way the key must list each live row once: each row's page must be
// a data page of the table that its map lists, no row may be listed twice,
// and pages it never lists must hold no live row.
#include <algorithm>

#include "format/DataPage.h"
#include "ops/compact/CopyReader.h"
#include "ops/compact/Outbox.h"
#include "ops/compact/RowRuns.h"
#include "util/Sizes.h"

namespace jet {

namespace {

std::size_t liveRows(const DataPage& dp) {
    std::size_t n = 0;
    for (const Slot& s : dp.slots) n += s.deleted ? 0 : 1;
    return n;
}

[[noreturn]] void notExactly(const TableDef& def, const RealIndex& ri) {
    failDamage(damagedTable(def), ": the primary key does not list exactly the table's rows",
               ri.rootPage);
}

}  // namespace

void CopyReader::readInKeyOrder(const TablePlan& t, const std::vector<uint32_t>& mapPages,
                                SourceRows& source, Outbox& out) {
    const TableDef& def = *t.def;
    const RealIndex& ri = def.realIndexes[def.primaryKey()->realIndex];
    const std::string where = "table '" + def.name + "', primary key";
    // Rows and their places in key order (row << 32 | place), kept while
    // they fit in memory: most keys follow the pages, and then they are
    // not needed.
    ExternalSorter<uint64_t> pairs(plan_.shares.keyPairs, plan_.spill);
    bool alongPages = true, kept = true;
    uint64_t n = 0;
    uint32_t last = 0;
    walkIndexRows(file_, ri.rootPage, def.firstPage, where, tree_, [&](RowPtr row) {
        const uint32_t r = row.toU32();
        if (n > 0 && r <= last) alongPages = false;
        last = r;
        if (kept && pairs.full()) kept = false;
        if (kept) pairs.add(uint64_t{r} << 32 | n);
        ++n;
    });
    std::vector<uint32_t> pages = mapPages;
    std::sort(pages.begin(), pages.end());
    if (alongPages) {
        pairs.clear();
        readKeyAlongPages(t, pages, source, out);
        return;
    }
    if (!kept) {
        pairs.clear();
        n = 0;
        walkIndexRows(file_, ri.rootPage, def.firstPage, where, tree_,
                      [&](RowPtr row) { pairs.add(uint64_t{row.toU32()} << 32 | n++); });
    }
    readKeyAcrossPages(t, pages, pairs, source, out);
}

// The key lists the rows in page order: each is read as the key lists it.
void CopyReader::readKeyAlongPages(const TablePlan& t, const std::vector<uint32_t>& mapPages,
                                   SourceRows& source, Outbox& out) {
    const TableDef& def = *t.def;
    const RealIndex& ri = def.realIndexes[def.primaryKey()->realIndex];
    std::vector<bool> met(file_.pageCount(), false);
    uint64_t live = 0, n = 0;
    std::size_t passed = 0;
    walkIndexRows(file_, ri.rootPage, def.firstPage, "table '" + def.name + "', primary key", tree_,
                  [&](RowPtr row) {
                      const uint32_t p = row.page;
                      if (p < met.size() && !met[p]) {
                          if (!std::binary_search(mapPages.begin(), mapPages.end(), p))
                              notExactly(def, ri);
                          PageRef page = file_.page(p);
                          if (!isDataPageOf(*page, def.firstPage)) notExactly(def, ri);
                          const DataPage dp = parseDataPage(*page, p);
                          live += liveRows(dp);
                          source.live.addPage(p, dp);
                          met[p] = true;
                          passedPages(t, ++passed, mapPages.size());
                      }
                      take(t, row, out.batch);
                      out.added();
                      ++n;
                  });
    for (uint32_t p : mapPages) {
        if (p >= met.size() || met[p]) continue;
        PageRef page = file_.page(p);
        if (!isDataPageOf(*page, def.firstPage)) {
            refuseLostPage(def, p, *page);
            continue;
        }
        if (liveRows(parseDataPage(*page, p)) != 0) notExactly(def, ri);
    }
    if (live != n) notExactly(def, ri);
}

// The key lists the rows in another order: the pages are read in turn, each
// row staged with its place in key order, and the staged rows passed on in
// that order.
void CopyReader::readKeyAcrossPages(const TablePlan& t, const std::vector<uint32_t>& mapPages,
                                    ExternalSorter<uint64_t>& pairs, SourceRows& source,
                                    Outbox& out) {
    const TableDef& def = *t.def;
    const RealIndex& ri = def.realIndexes[def.primaryKey()->realIndex];
    pairs.finish();
    const uint64_t n = pairs.size();
    // Each row's place, by its number in page order, for the copier.
    source.reordered = true;
    if (channel_.orders.reserve(n * 4)) {
        source.orderMemory = n * 4;
        source.order.assign(sizeInMemory(n));
    } else {
        source.orderFile = SpillFile::create(plan_.spill);
    }
    RowRuns runs(plan_.shares.rowRuns, plan_.spill, t.lvColumns.size());
    uint64_t pair = 0, live = 0;
    bool more = pairs.next(pair);
    auto pageOf = [](uint64_t v) { return static_cast<uint32_t>(v >> 40); };
    uint32_t lastRow = 0xFFFFFFFFu;
    uint64_t rank = 0;  // of the row in page order
    std::size_t passed = 0;
    for (uint32_t p : mapPages) {
        passedPages(t, passed++, mapPages.size());
        if (more && pageOf(pair) < p) notExactly(def, ri);  // a page the map does not list
        const bool listed = more && pageOf(pair) == p;
        PageRef page = file_.page(p);
        if (!isDataPageOf(*page, def.firstPage)) {
            if (listed) notExactly(def, ri);
            refuseLostPage(def, p, *page);
            continue;
        }
        const DataPage dp = parseDataPage(*page, p);
        const std::size_t rows = liveRows(dp);
        if (!listed) {
            if (rows != 0) notExactly(def, ri);
            continue;
        }
        source.live.addPage(p, dp);
        live += rows;
        for (; more && pageOf(pair) == p; more = pairs.next(pair)) {
            const auto row = static_cast<uint32_t>(pair >> 32);
            const auto place = static_cast<uint32_t>(pair);
            if (row == lastRow) notExactly(def, ri);  // listed twice
            lastRow = row;
            if (source.orderFile) {
                source.orderFile->append(&place, sizeof place);
            } else {
                source.order[static_cast<std::size_t>(rank)] = place;  // below n, held
            }
            ++rank;
            take(t, RowPtr::fromU32(row), runs.stage());
            runs.placed(place);
        }
    }
    if (more || live != n) notExactly(def, ri);
    runs.drain([&]() -> RowBatch& { return out.batch; }, [&] { out.added(); });
}

}  // namespace jet
