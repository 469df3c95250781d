// Which pages of a damaged file hold a table's rows.
#include <algorithm>
#include <map>
#include <optional>

#include "format/DataPage.h"
#include "format/UsageMap.h"
#include "keys/KeyEncoding.h"
#include "salvage/SalvagePage.h"
#include "salvage/SalvagePhases.h"

namespace jet {

namespace {

std::string pageText(uint32_t p) { return "page " + std::to_string(p); }

bool contains(const std::vector<uint32_t>& sorted, uint32_t v) {
    return std::binary_search(sorted.begin(), sorted.end(), v);
}

class PageChooser {
  public:
    PageChooser(const SalvageContext& ctx, const TableDef& def, const IndexEvidence& evidence,
                SalvageLedger& ledger)
        : ctx_(ctx), def_(def), evidence_(evidence), ledger_(ledger) {}

    ChosenPages run();

  private:
    void takeListed(const std::vector<uint32_t>& listed);
    void takeUnlisted(const std::vector<uint32_t>& listed, bool mapLost);
    bool listedByAnother(uint32_t page) const;
    void leaveForeign(uint32_t page);
    void leaveOut(uint32_t page, const std::string& why);
    bool indexVouchesFor(uint32_t page);
    int witness() const;
    int fitAt(RowPtr slot, const RowView& rv, RowPtr data) const;
    int fitNeeded() const;
    bool fitsInPlace(RowPtr slot, int needed);
    bool heldElsewhere(uint32_t page);
    bool witnessHolds(std::size_t index);
    bool liveRowAt(RowPtr slot, PageRef& holder, RowView& rv);
    const std::vector<SalvagedSlot>& slotsOf(uint32_t page);

    const SalvageContext& ctx_;
    const TableDef& def_;
    const IndexEvidence& evidence_;
    SalvageLedger& ledger_;
    ChosenPages out_;
    // The witness index's entries by key, and whether it holds, once asked.
    std::multimap<Bytes, uint32_t> byKey_;
    std::optional<bool> witnessHolds_;
    std::map<uint32_t, std::vector<SalvagedSlot>> slotCache_;
};

ChosenPages PageChooser::run() {
    std::vector<uint32_t> listed;
    bool mapLost = def_.ownedMap.isNull();
    if (!mapLost) {
        auto it = ctx_.listed.find(def_.firstPage);
        if (it != ctx_.listed.end()) {
            listed = it->second;
        } else {
            mapLost = true;
        }
    }
    if (mapLost) ledger_.mapLost();
    takeListed(listed);
    takeUnlisted(listed, mapLost);
    auto& pages = out_.pages;
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    return std::move(out_);
}

// The listed pages that are the table's: its own, and those whose header
// alone is damaged. A page another table's rows are on goes to that table
// (it lists it too, or takes it back as its own); a page that holds no
// table's rows is foreign: its rows are left out, and what the table kept
// there is lost.
void PageChooser::takeListed(const std::vector<uint32_t>& listed) {
    const uint32_t me = def_.firstPage;
    for (uint32_t p : listed) {
        if (p >= ctx_.census.pageCount()) {
            ledger_.add(SalvageIssue::Kind::kPageLost, {p, 0},
                        "its usage map lists " + pageText(p) +
                            ", beyond the end of the file: the rows there are lost",
                        {}, kMaxRowsPerPage);
            continue;
        }
        const PageClaim claim = claimListed(ctx_, me, p);
        switch (claim.kind) {
            case PageClaim::Kind::kOwn:
            case PageClaim::Kind::kReturned:
                if (claim.table != me) continue;  // another table's rows: they go there
                if (heldElsewhere(p)) break;
                out_.pages.push_back(p);
                continue;
            case PageClaim::Kind::kRepaired:
                if (listedByAnother(p)) break;
                out_.pages.push_back(p);
                continue;
            case PageClaim::Kind::kForeign:
                // A header overwritten, where the table's own indexes
                // vouch for the rows as they lie.
                if (!listedByAnother(p) && indexVouchesFor(p)) {
                    out_.pages.push_back(p);
                    continue;
                }
                break;
        }
        leaveForeign(p);
    }
}

bool PageChooser::listedByAnother(uint32_t page) const {
    for (const auto& [table, pages] : ctx_.listed) {
        if (table != def_.firstPage && contains(pages, page)) return true;
    }
    return false;
}

// A listed page that holds nothing of the table: a page wiped or of
// another kind, or a data page of no table of the file, whose rows are
// left out as foreign.
void PageChooser::leaveForeign(uint32_t page) {
    const PageCensus::Entry& e = ctx_.census[page];
    PageRef holder = ctx_.file.page(page);
    std::size_t rows = 0;
    if (e.type == kPageData && offsetsSound(*holder)) {
        const ByteView all(*holder);
        const std::vector<SalvagedSlot> slots = salvageSlots(*holder, def_);
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (slots[i].state == SalvagedSlot::State::kDeleted) continue;
            ++rows;
            const std::string why =
                e.owner == def_.firstPage
                    ? "which names the table as owner, but whose rows its unique index finds "
                      "elsewhere in the table (a page of another copy of the database written "
                      "over one of its own)"
                    : "which the table's usage map lists but whose rows are no table's of this "
                      "file (its owner field names page " +
                          std::to_string(e.owner) + ")";
            ledger_.add(SalvageIssue::Kind::kRowForeign, {page, static_cast<uint8_t>(i)},
                        "it lies on " + pageText(page) + ", " + why + ": left out",
                        all.subspan(slots[i].start, slots[i].end - slots[i].start));
        }
    }
    const std::string found =
        rows > 0 ? "a data page of " + std::to_string(rows) + (rows == 1 ? " row" : " rows") +
                       " that belong to no table of this file"
        : e.type == 0         ? "a page of type 0 (zeroed?)"
        : e.type == kPageData ? "a data page of owner " + std::to_string(e.owner)
                              : "a page of type " + std::to_string(e.type);
    ledger_.add(SalvageIssue::Kind::kPageLost, {page, 0},
                "its usage map lists " + pageText(page) + ", which is " + found +
                    ": whatever rows of the table it held are lost",
                {}, kMaxRowsPerPage);
}

// The rows of a page taken for an old copy: each is left out, and said so.
void PageChooser::leaveOut(uint32_t page, const std::string& why) {
    PageRef holder = ctx_.file.page(page);
    const ByteView all(*holder);
    const std::vector<SalvagedSlot> slots = salvageSlots(*holder, def_);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].state == SalvagedSlot::State::kDeleted) continue;
        ledger_.add(SalvageIssue::Kind::kRowLeftOut, {page, static_cast<uint8_t>(i)}, why,
                    all.subspan(slots[i].start, slots[i].end - slots[i].start));
    }
}

// The unique index whose keys tell rows apart: the primary key where it is
// unique, else the first unique index; -1 when there is none.
int PageChooser::witness() const {
    if (const LogicalIndex* pk = def_.primaryKey();
        pk && pk->realIndex < def_.realIndexes.size() && def_.realIndexes[pk->realIndex].unique())
        return static_cast<int>(pk->realIndex);
    for (std::size_t i = 0; i < def_.realIndexes.size(); ++i)
        if (def_.realIndexes[i].unique()) return static_cast<int>(i);
    return -1;
}

// How many of the table's indexes list slot with the key parts the row's
// values give (data: where its bytes are); -1 where one lists it with parts
// they contradict.
int PageChooser::fitAt(RowPtr slot, const RowView& rv, RowPtr data) const {
    int n = 0;
    for (std::size_t i = 0; i < def_.realIndexes.size(); ++i) {
        const std::optional<bool> f = evidence_.fitsRow(def_, i, slot, rv, data);
        if (f == std::optional<bool>(false)) return -1;
        n += f.value_or(false);
    }
    return n;
}

// How many of the indexes must fit a row for it to be told apart from
// another by them: two where two or more can be compared with rows.
int PageChooser::fitNeeded() const {
    int comparable = 0;
    for (const auto& ri : def_.realIndexes) {
        for (const IndexColumn& ic : ri.columns) {
            const Column* c = def_.columnByNumber(ic.column);
            if (c && keyEncodable(c->type)) {
                ++comparable;
                break;
            }
        }
    }
    return std::min(comparable, 2);
}

const std::vector<SalvagedSlot>& PageChooser::slotsOf(uint32_t page) {
    auto it = slotCache_.find(page);
    if (it == slotCache_.end())
        it = slotCache_.emplace(page, salvageSlots(*ctx_.file.page(page), def_)).first;
    return it->second;
}

// The row at slot, as it stands on a page that names the table (holder
// keeps the page its values are read from); false where there is none.
bool PageChooser::liveRowAt(RowPtr slot, PageRef& holder, RowView& rv) {
    if (slot.page >= ctx_.census.pageCount() || ctx_.census[slot.page].type != kPageData ||
        ctx_.census[slot.page].owner != def_.firstPage)
        return false;
    const std::vector<SalvagedSlot>& slots = slotsOf(slot.page);
    if (slot.row >= slots.size()) return false;
    const SalvagedSlot& s = slots[slot.row];
    if (s.state != SalvagedSlot::State::kLive || s.recovered) return false;
    holder = ctx_.file.page(slot.page);
    rv = crackRow(def_, ByteView(*holder).subspan(s.start, s.end - s.start), slot.page, slot.row);
    return true;
}

// Whether the row at slot, as it stands, fits what the indexes list there.
bool PageChooser::fitsInPlace(RowPtr slot, int needed) {
    PageRef holder;
    RowView rv;
    return liveRowAt(slot, holder, rv) && fitAt(slot, rv, slot) >= needed;
}

// Whether the witness index has been checked against the rows it points
// to and found to hold: most of a sample of its entries, spread over it,
// give the key of the row at their slot. An index that fails the check
// (damaged, or keyed in an order this file does not keep) is evidence of
// nothing. The table has one witness, so the answer is kept.
bool PageChooser::witnessHolds(std::size_t index) {
    if (witnessHolds_) return *witnessHolds_;
    const auto& keys = evidence_.byRow[index];
    const std::size_t step = std::max<std::size_t>(1, keys.size() / 512);
    std::size_t fit = 0, tried = 0;
    for (std::size_t i = 0; i < keys.size(); i += step) {
        ++tried;
        const RowPtr slot = RowPtr::fromU32(keys[i].first);
        PageRef holder;
        RowView rv;
        if (liveRowAt(slot, holder, rv) &&
            evidence_.fitsRow(def_, index, slot, rv, slot) == std::optional<bool>(true))
            ++fit;
    }
    witnessHolds_ = 2 * fit > tried;
    return *witnessHolds_;
}

// Whether a page that names the table was written over by a page of another
// copy of the database. The witness index, once checked against the rows
// it points to, lists rows at the page's slots, and none of them is there
// any more; and each row the page holds is unknown to the index, or listed
// at a slot of another page that holds it in place (a copy of a row the
// table holds there), never at one of its own slots or at a slot of a page
// that now holds something else (as each of two swapped pages holds the
// other's rows). A row the index does not know is no evidence by itself:
// an index with entries missing knows fewer rows than there are.
bool PageChooser::heldElsewhere(uint32_t page) {
    const int w = witness();
    const int needed = fitNeeded();
    if (w < 0 || needed == 0) return false;
    const std::size_t index = static_cast<std::size_t>(w);
    const auto [into, end] = evidence_.onPage(index, page);
    if (into == end) return false;
    if (!witnessHolds(index)) return false;
    for (auto e = into; e != end; ++e) {
        if (fitsInPlace(RowPtr::fromU32(e->first), 1)) return false;
    }
    if (byKey_.empty()) {
        for (const auto& [u, key] : evidence_.byRow[index]) byKey_.emplace(key, u);
    }
    const std::vector<SalvagedSlot>& slots = slotsOf(page);
    PageRef holder = ctx_.file.page(page);
    std::size_t rows = 0;
    for (std::size_t r = 0; r < slots.size(); ++r) {
        const SalvagedSlot& s = slots[r];
        if (s.state != SalvagedSlot::State::kLive) continue;
        const RowPtr at{page, static_cast<uint8_t>(r)};
        const RowView rv = crackRow(def_, ByteView(*holder).subspan(s.start, s.end - s.start), page,
                                    static_cast<int>(r));
        const auto key = encodeRowKey(def_, def_.realIndexes[index], rv, page, static_cast<int>(r));
        if (!key) return false;
        ++rows;
        for (auto [it, last] = byKey_.equal_range(*key); it != last; ++it) {
            const RowPtr u = RowPtr::fromU32(it->second);
            if (fitAt(u, rv, at) < needed) continue;  // listed there, but as another row
            // Known to the indexes: in this page, or displaced from one
            // that holds something else now.
            if (u.page == page || !fitsInPlace(u, needed)) return false;
        }
    }
    return rows > 0;
}

// Whether the table's indexes vouch for the rows of a page as they lie:
// entries point to its live rows with keys their values give, and none
// to one whose values give another key.
bool PageChooser::indexVouchesFor(uint32_t page) {
    PageRef holder = ctx_.file.page(page);
    const ByteView all(*holder);
    const std::vector<SalvagedSlot> slots = salvageSlots(*holder, def_);
    std::size_t live = 0, vouched = 0;
    for (std::size_t r = 0; r < slots.size(); ++r) {
        const SalvagedSlot& s = slots[r];
        if (s.state == SalvagedSlot::State::kDeleted) continue;
        ++live;
        if (s.state != SalvagedSlot::State::kLive || s.recovered) return false;
        const RowPtr slot{page, static_cast<uint8_t>(r)};
        const RowView rv =
            crackRow(def_, all.subspan(s.start, s.end - s.start), page, static_cast<int>(r));
        bool any = false;
        for (std::size_t i = 0; i < def_.realIndexes.size(); ++i) {
            const std::optional<bool> fits = evidence_.fitsRow(def_, i, slot, rv, slot);
            if (fits && !*fits) return false;
            any = any || fits.value_or(false);
        }
        if (any) ++vouched;
    }
    // Every entry that points into the page must find a row there: a page
    // written over holds other rows, often fewer.
    for (std::size_t i = 0; i < evidence_.byRow.size(); ++i) {
        const auto [lo, hi] = evidence_.onPage(i, page);
        for (auto e = lo; e != hi; ++e) {
            const uint8_t r = RowPtr::fromU32(e->first).row;
            if (r >= slots.size() || slots[r].state != SalvagedSlot::State::kLive) return false;
        }
    }
    return live > 0 && 2 * vouched >= live;
}

// Pages that name the table as owner but are missing from its map. Those
// its free-space map or its indexes point to are its own; of the rest,
// those that make up the rows its definition counts and the map's pages
// lack. A table whose map is lost takes every such page the global map
// does not call free. Pages not taken look like old copies: their rows
// are left out, and listed as such.
void PageChooser::takeUnlisted(const std::vector<uint32_t>& listed, bool mapLost) {
    std::vector<uint32_t> strong, weak;
    std::vector<uint32_t> freeMap;
    if (!def_.freeMap.isNull()) {
        try {
            freeMap = readUsageMap(ctx_.file, def_.freeMap, "free-space map").pages;
        } catch (const JetException&) {
        }
    }
    std::vector<uint32_t>& pages = out_.pages;
    for (uint32_t p : ctx_.census.dataPagesOf(def_.firstPage)) {
        if (contains(listed, p) || ctx_.census[p].liveRows == 0) continue;
        // Another table's map lists it: its rows come back here where they
        // are this table's, as that table's salvage finds too.
        if (const auto listers = listersOf(ctx_, def_.firstPage, p); !listers.empty()) {
            const PageClaim claim = claimListed(ctx_, listers.front(), p);
            if (claim.kind == PageClaim::Kind::kReturned && claim.table == def_.firstPage)
                out_.returned.emplace_back(p, listers.front());
            continue;
        }
        (contains(freeMap, p) || contains(evidence_.pointedPages, p) ? strong : weak).push_back(p);
    }
    for (const auto& [p, from] : out_.returned) pages.push_back(p);
    pages.insert(pages.end(), strong.begin(), strong.end());
    uint64_t have = 0;
    for (uint32_t p : pages) have += ctx_.census[p].liveRows;
    const uint64_t need = def_.rowCount > have ? def_.rowCount - have : 0;
    auto rowsOf = [&](const std::vector<uint32_t>& v) {
        uint64_t n = 0;
        for (uint32_t p : v) n += ctx_.census[p].liveRows;
        return n;
    };
    std::vector<uint32_t> inUse;
    for (uint32_t p : weak) {
        if (!ctx_.census.globallyFree(p)) inUse.push_back(p);
    }
    std::vector<uint32_t> take;
    if (mapLost) {
        take = inUse;
    } else if (need > 0 && rowsOf(inUse) == need) {
        take = inUse;
    } else if (need > 0 && rowsOf(weak) == need) {
        take = weak;
    } else if (need > 0) {
        for (uint32_t p : weak) {
            if (ctx_.census[p].liveRows == need) take = {p};
        }
    }
    for (uint32_t p : weak) {
        if (std::find(take.begin(), take.end(), p) != take.end()) {
            pages.push_back(p);
        } else {
            leaveOut(p, "it lies on " + pageText(p) +
                            ", which names the table as owner but is not in its usage map, and "
                            "looks like an old copy left behind: not copied");
        }
    }
}

}  // namespace

bool ChosenPages::contains(uint32_t page) const { return jet::contains(pages, page); }

ChosenPages choosePages(const SalvageContext& ctx, const TableDef& def,
                        const IndexEvidence& evidence, SalvageLedger& ledger) {
    return PageChooser(ctx, def, evidence, ledger).run();
}

}  // namespace jet
