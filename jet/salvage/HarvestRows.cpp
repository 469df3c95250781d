// The rows on a damaged table's pages.
#include <algorithm>
#include <bit>
#include <map>
#include <set>

#include "format/DataPage.h"
#include "format/LongValue.h"
#include "format/Row.h"
#include "salvage/SalvagePage.h"
#include "salvage/SalvagePhases.h"

namespace jet {

namespace {

std::string pageText(uint32_t p) { return "page " + std::to_string(p); }

class RowHarvester {
  public:
    RowHarvester(const SalvageContext& ctx, const TableDef& def, const IndexEvidence& evidence,
                 const ChosenPages& chosen, SalvageLedger& ledger)
        : ctx_(ctx), def_(def), evidence_(evidence), chosen_(chosen), ledger_(ledger) {}

    HarvestedRows run();

  private:
    void readPage(uint32_t page);
    void keepRow(RowPtr slot, RowPtr data, uint16_t start, uint16_t end, const PageRef& holder);
    bool resolveOverflow(ByteView pointer, RowPtr& data, uint16_t& start, uint16_t& end,
                         PageRef& holder, std::string& why, bool& again);
    // Rows the slots of its pages still hold unseen: flagged deleted while an
    // index lists them, or rows an overflow pointer led to before it was lost.
    void restoreIndexed();
    void takeOrphans();
    void countMovedBack();
    const std::vector<SalvagedSlot>& slotsOf(uint32_t page);

    const SalvageContext& ctx_;
    const TableDef& def_;
    const IndexEvidence& evidence_;
    const ChosenPages& chosen_;
    SalvageLedger& ledger_;
    HarvestedRows out_;
    // The rows overflow pointers led to, as u32 row pointers; the pointers
    // that led nowhere, or to a row reached already, to be told once the
    // rows no pointer reaches are known; rows brought back.
    std::set<uint32_t> reached_, deletedReached_;
    struct LostStub {
        RowPtr slot;
        std::string why;
        Bytes bytes;
        bool again = false;  // a second reference
    };
    std::vector<LostStub> lostStubs_;
    // Slots flagged deleted alone (as the rows overflow pointers lead to
    // are), with bytes: where rows no pointer reaches are sought.
    std::vector<std::pair<RowPtr, SalvagedSlot>> flaggedDeleted_;
    std::set<uint32_t> restoredSlots_;
    std::map<uint32_t, std::vector<SalvagedSlot>> slotCache_;
};

HarvestedRows RowHarvester::run() {
    for (uint32_t p : chosen_.pages) readPage(p);
    restoreIndexed();
    takeOrphans();
    std::sort(out_.rows.begin(), out_.rows.end(),
              [](const KeptRow& a, const KeptRow& b) { return a.slot < b.slot; });
    countMovedBack();
    ledger_.rowsRead();
    return std::move(out_);
}

void RowHarvester::readPage(uint32_t page) {
    PageRef holder = ctx_.file.page(page);
    const std::vector<SalvagedSlot> slots = salvageSlots(*holder, def_);
    const ByteView all(*holder);
    // Slots at the end whose offsets lie outside the page's rows: a count
    // of slots too large reads them from what follows the slot table. They
    // are no rows to count as dropped; any row they held is lost with the
    // page's count, and said so once.
    std::size_t n = slots.size();
    while (n > 0 && slots[n - 1].state == SalvagedSlot::State::kBroken && slots[n - 1].offsetLost)
        --n;
    if (n < slots.size()) {
        ledger_.add(SalvageIssue::Kind::kPageLost, {page, 0},
                    "slots " + std::to_string(n) + "-" + std::to_string(slots.size() - 1) +
                        " of " + pageText(page) +
                        " point outside the page's rows (its count of slots may be "
                        "damaged): any rows they held are lost",
                    {}, slots.size() - n);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const SalvagedSlot& s = slots[i];
        const RowPtr slot{page, static_cast<uint8_t>(i)};
        const ByteView bytes = all.subspan(s.start, s.end - s.start);
        switch (s.state) {
            case SalvagedSlot::State::kDeleted:
                // Rows overflow pointers lead to carry the deleted flag alone;
                // a deleted row's pointer may still lead to its old bytes.
                if (!s.pointer && s.end > s.start) flaggedDeleted_.emplace_back(slot, s);
                if (s.pointer && bytes.size() >= 4) deletedReached_.insert(u32(bytes, 0));
                continue;
            case SalvagedSlot::State::kBroken:
                ledger_.rowFound();
                ledger_.add(SalvageIssue::Kind::kRowDropped, slot, "it cannot be read: " + s.why,
                            bytes);
                continue;
            case SalvagedSlot::State::kOverflow: {
                ledger_.rowFound();
                RowPtr data;
                uint16_t start = 0, end = 0;
                PageRef target;
                std::string why;
                bool again = false;
                if (!resolveOverflow(bytes, data, start, end, target, why, again)) {
                    lostStubs_.push_back(
                        {slot, std::move(why), Bytes(bytes.begin(), bytes.end()), again});
                    continue;
                }
                reached_.insert(data.toU32());
                keepRow(slot, data, start, end, target);
                continue;
            }
            case SalvagedSlot::State::kLive:
                ledger_.rowFound();
                keepRow(slot, slot, s.start, s.end, holder);
                continue;
        }
    }
}

// Follows an overflow pointer (a few hops at most) to the row's bytes: a
// slot flagged deleted (as the rows pointers lead to are, so that scans
// skip them) that no other pointer led to, reading as a row of the table.
// A pointer that leads to a row the table holds by itself, or to one
// another pointer led to, is a second reference to it (again).
bool RowHarvester::resolveOverflow(ByteView pointer, RowPtr& data, uint16_t& start, uint16_t& end,
                                   PageRef& holder, std::string& why, bool& again) {
    RowPtr at = RowPtr::fromU32(u32(pointer, 0));
    for (int hops = 0; hops < 16; ++hops) {
        why = "its overflow pointer leads to page " + std::to_string(at.page) + " row " +
              std::to_string(at.row) + ", ";
        if (at.page < 3 || at.page >= ctx_.census.pageCount()) {
            why += "which is not in the file";
            return false;
        }
        const PageCensus::Entry& e = ctx_.census[at.page];
        if (!chosen_.contains(at.page) &&
            (e.type != kPageData || std::popcount(e.owner ^ def_.firstPage) > 1)) {
            why += "which is not one of the table's pages";
            return false;
        }
        holder = ctx_.file.page(at.page);
        const std::vector<SalvagedSlot> slots = salvageSlots(*holder, def_);
        if (at.row >= slots.size() || slots[at.row].end <= slots[at.row].start) {
            why += "which holds no row";
            return false;
        }
        const SalvagedSlot& s = slots[at.row];
        if (s.state != SalvagedSlot::State::kDeleted) {
            again = true;
            why += "a row of the table by itself, which is copied once, there";
            return false;
        }
        if (reached_.count(at.toU32()) != 0) {
            again = true;
            why += "to which another overflow pointer led first";
            return false;
        }
        const ByteView b = ByteView(*holder).subspan(s.start, s.end - s.start);
        if (s.pointer && b.size() >= 4 && !rowFault(def_, b).empty()) {
            at = RowPtr::fromU32(u32(b, 0));
            continue;
        }
        const std::string fault = rowFault(def_, b);
        if (!fault.empty()) {
            why += "which cannot be read: " + fault;
            return false;
        }
        data = at;
        start = s.start;
        end = s.end;
        return true;
    }
    why = "its overflow pointers form a chain too long";
    return false;
}

// The slots of a page of the table as salvage reads them, kept while the
// rows left unseen are sought.
const std::vector<SalvagedSlot>& RowHarvester::slotsOf(uint32_t page) {
    auto it = slotCache_.find(page);
    if (it == slotCache_.end())
        it = slotCache_.emplace(page, salvageSlots(*ctx_.file.page(page), def_)).first;
    return it->second;
}

// A row flagged deleted that one of the table's indexes still lists, with
// the key its values give: a delete cut short before the index was told,
// or a damaged flag. Its bytes are there: it is brought back, and said so,
// so that nothing the user may still want is lost. Where its bytes are
// gone, or the key cannot be compared with them, it stays deleted, and that
// is said too; an entry whose key the row's values contradict is the
// index's damage alone.
void RowHarvester::restoreIndexed() {
    std::map<uint32_t, std::vector<std::size_t>> listing;  // deleted slot -> indexes listing it
    for (std::size_t i = 0; i < evidence_.byRow.size(); ++i) {
        for (const auto& [u, key] : evidence_.byRow[i]) {
            const RowPtr slot = RowPtr::fromU32(u);
            if (!chosen_.contains(slot.page) || reached_.count(u) != 0) continue;
            const std::vector<SalvagedSlot>& slots = slotsOf(slot.page);
            if (slot.row < slots.size() && slots[slot.row].state == SalvagedSlot::State::kDeleted)
                listing[u].push_back(i);
        }
    }
    for (auto& [u, indexes] : listing) {
        indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
        const RowPtr slot = RowPtr::fromU32(u);
        const SalvagedSlot& s = slotsOf(slot.page)[slot.row];
        PageRef holder = ctx_.file.page(slot.page);
        const ByteView bytes = ByteView(*holder).subspan(s.start, s.end - s.start);
        RowView rv;
        const bool reads = !bytes.empty() && !s.pointer && rowFault(def_, bytes).empty() &&
                           tryCrackRow(def_, bytes, rv) == nullptr;
        bool fits = false, contradicted = reads;
        for (std::size_t i : indexes) {
            if (!reads) break;
            const std::optional<bool> f = evidence_.fitsRow(def_, i, slot, rv, slot);
            fits = fits || (f && *f);
            contradicted = contradicted && f && !*f;
        }
        if (contradicted) continue;
        restoredSlots_.insert(u);
        const std::string listed = "it is flagged deleted, but index '" +
                                   indexName(def_, indexes[0]) +
                                   "' still lists it (a delete cut short, or its flag damaged): ";
        if (!fits) {
            ledger_.add(SalvageIssue::Kind::kDeleteKept, slot,
                        listed +
                            (reads ? "the index's key cannot be compared with its values"
                                   : "its bytes no longer hold a row") +
                            ", so it stays deleted",
                        bytes);
            continue;
        }
        ledger_.rowFound();
        const std::size_t before = out_.rows.size();
        keepRow(slot, slot, s.start, s.end, holder);
        if (out_.rows.size() == before) continue;  // dropped, and said so
        ledger_.add(SalvageIssue::Kind::kRowRestored, slot,
                    listed + "it is brought back; delete it again if it was meant to go", bytes);
    }
}

// Rows an overflow pointer led to (flagged deleted, so that scans skip
// them) that no pointer reaches now: the pointer was lost or misdirected.
// Each is the row of one such pointer, and is kept; where no pointer was
// lost and every row the table counts is found, they are left out.
void RowHarvester::takeOrphans() {
    std::vector<std::pair<RowPtr, SalvagedSlot>> orphans;
    for (const auto& [slot, s] : flaggedDeleted_) {
        const uint32_t u = slot.toU32();
        if (reached_.count(u) != 0 || deletedReached_.count(u) != 0 || restoredSlots_.count(u) != 0)
            continue;
        PageRef holder = ctx_.file.page(slot.page);
        if (rowFault(def_, ByteView(*holder).subspan(s.start, s.end - s.start)).empty())
            orphans.emplace_back(slot, s);
    }
    flaggedDeleted_.clear();
    const bool wanted = !lostStubs_.empty() || ledger_.rowsFound() < def_.rowCount;
    std::size_t paired = 0;
    for (const auto& [slot, s] : orphans) {
        PageRef holder = ctx_.file.page(slot.page);
        const ByteView bytes = ByteView(*holder).subspan(s.start, s.end - s.start);
        if (!wanted) {
            ledger_.add(SalvageIssue::Kind::kRowLeftOut, slot,
                        "it is a row an overflow pointer led to, which no pointer reaches now, "
                        "while every row the table counts is found: not copied",
                        bytes);
            continue;
        }
        const std::size_t before = out_.rows.size();
        keepRow(slot, slot, s.start, s.end, holder);
        if (out_.rows.size() == before) continue;
        if (paired < lostStubs_.size()) {
            ++paired;
        } else {
            ledger_.rowFound();
        }
    }
    // The pointers whose rows were found that way are second references;
    // the rest lost their rows.
    for (std::size_t k = 0; k < lostStubs_.size(); ++k) {
        LostStub& l = lostStubs_[k];
        if (k < paired) {
            ledger_.add(SalvageIssue::Kind::kSecondReference, l.slot,
                        l.why +
                            "; a row an overflow pointer led to, which no pointer reaches now, is "
                            "kept in its place",
                        l.bytes);
        } else {
            ledger_.add(
                l.again ? SalvageIssue::Kind::kSecondReference : SalvageIssue::Kind::kRowDropped,
                l.slot, l.why, l.bytes);
        }
    }
}

void RowHarvester::countMovedBack() {
    for (const auto& [page, from] : chosen_.returned) {
        const uint32_t returned = page;  // a binding the lambda may name on every compiler
        const uint64_t n = static_cast<uint64_t>(
            std::count_if(out_.rows.begin(), out_.rows.end(),
                          [&](const KeptRow& k) { return k.slot.page == returned; }));
        auto other = ctx_.tables.find(from);
        const std::string lister = other != ctx_.tables.end()
                                       ? "table '" + other->second->name + "'"
                                       : "the table at page " + std::to_string(from);
        ledger_.add(SalvageIssue::Kind::kRowsMovedBack, {page, 0},
                    pageText(page) + ", which the usage map of " + lister +
                        " lists, is a page of this table (its owner field names it and "
                        "its rows read as its rows): its " +
                        std::to_string(n) + (n == 1 ? " row is" : " rows are") +
                        " copied back into this table",
                    {}, n);
    }
}

// Keeps a row that reads, unless a zeroed sector lies under it; its long
// values that cannot be followed are set to null.
void RowHarvester::keepRow(RowPtr slot, RowPtr data, uint16_t start, uint16_t end,
                           const PageRef& holder) {
    const ByteView bytes = ByteView(*holder).subspan(start, end - start);
    const RowView rv = crackRow(def_, bytes, data.page, data.row);
    const int sector = tornSectorUnder(*holder, def_, rv, start, end);
    if (sector >= 0) {
        ledger_.add(SalvageIssue::Kind::kRowDropped, slot,
                    "part of it lies in bytes " + std::to_string(sector * 512) + "-" +
                        std::to_string(sector * 512 + 511) + " of page " +
                        std::to_string(data.page) +
                        ", which read as zeros (a write cut short): its values cannot be trusted",
                    bytes);
        return;
    }
    std::vector<uint16_t> nulled;
    std::string why;
    Bytes value;
    for (const auto& c : def_.columns) {
        if (!c.isLongValue() || c.fixed() || c.varIndex >= rv.varSlots.size() ||
            !rv.notNull(c.number))
            continue;
        auto [s, e] = rv.varSlots[c.varIndex];
        if (s == e) continue;
        try {
            readLongValueInto(ctx_.file, bytes.subspan(s, e - s), data.page, data.row, value);
        } catch (const JetException& ex) {
            nulled.push_back(c.number);
            why +=
                (why.empty() ? "" : "; ") + ("column '" + c.name + "': ") + ex.error().description;
        }
    }
    KeptRow k{slot, data, start, end, 0};
    if (!nulled.empty()) {
        out_.nulledColumns.push_back(nulled);
        k.nulled = static_cast<uint32_t>(out_.nulledColumns.size());
        ledger_.add(SalvageIssue::Kind::kValueNulled, slot,
                    "a long value cannot be followed and is set to null (" + why + ")", bytes);
    }
    out_.rows.push_back(k);
}

}  // namespace

std::size_t HarvestedRows::at(RowPtr slot) const {
    auto it = std::lower_bound(rows.begin(), rows.end(), slot,
                               [](const KeptRow& x, RowPtr v) { return x.slot < v; });
    return it != rows.end() && it->slot == slot ? static_cast<std::size_t>(it - rows.begin())
                                                : rows.size();
}

ByteView HarvestedRows::bytes(PageFile& file, const TableDef& def, const KeptRow& r,
                              PageRef& holder, Bytes& scratch) const {
    holder = file.page(r.data.page);
    const ByteView bytes = ByteView(*holder).subspan(r.start, r.end - r.start);
    if (r.nulled == 0) return bytes;
    // The row again, with the long values that could not be followed null.
    const RowView rv = crackRow(def, bytes, r.data.page, r.data.row);
    Bytes mask(bytes.begin() + static_cast<std::ptrdiff_t>(rv.maskOffset), bytes.end());
    std::vector<ByteView> slots;
    for (auto [s, e] : rv.varSlots) slots.push_back(bytes.subspan(s, e - s));
    for (uint16_t number : nulledColumns[r.nulled - 1]) {
        mask[number / 8] = static_cast<uint8_t>(mask[number / 8] & ~(1u << (number % 8)));
        if (const Column* c = def.columnByNumber(number); c && c->varIndex < slots.size())
            slots[c->varIndex] = {};
    }
    buildRowInto(scratch, rv.ncols, bytes.subspan(2, rv.fixedEnd - 2), slots, mask,
                 def.numVar > 0);
    return scratch;
}

HarvestedRows harvestRows(const SalvageContext& ctx, const TableDef& def,
                          const IndexEvidence& evidence, const ChosenPages& chosen,
                          SalvageLedger& ledger) {
    return RowHarvester(ctx, def, evidence, chosen, ledger).run();
}

}  // namespace jet
