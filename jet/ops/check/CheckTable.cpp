// Checking a table's rows and long values, and what its indexes must hold.
#include <algorithm>

#include "format/DataPage.h"
#include "format/LongValue.h"
#include "format/Row.h"
#include "keys/KeyEncoding.h"
#include "keys/TextKey.h"
#include "ops/check/DatabaseChecker.h"
#include "salvage/SalvagePage.h"
#include "salvage/TableSalvage.h"
#include "read/Value.h"

namespace jet {

void DatabaseChecker::checkTable(const CatalogEntry& entry) {
    const TableDef& def = db_.tableDef(entry.tdefPage(), entry.name);
    beginRows(entry, def);
    checkPages(tableMaps(def));
    endTable(def);
}

void DatabaseChecker::beginRows(const CatalogEntry& entry, const TableDef& def) {
    TableState& t = table_;
    t.def = &def;
    t.summary = TableSummary{};
    t.summary.name = entry.name;
    t.summary.definitionPage = def.firstPage;
    t.summary.system = entry.isSystem();
    t.summary.indexes = static_cast<uint32_t>(def.realIndexes.size());
    t.where = "table '" + def.name + "'";
    // Rows and long values; each row also adds what each index should
    // hold for it to that index's tally.
    tallies_.clear();
    for (const auto& ri : def.realIndexes) tallies_.push_back(makeTally(def, ri));
    t.live.clear();
    t.lvPagesUsed.clear();
    t.digest = &report_.digests[def.firstPage];
    t.rows = 0;
    t.pages.clear();
    t.seenOwn.clear();
    t.overflowTargets.clear();
    t.listed.clear();
    t.mapLost = true;
    t.rowsDone = false;
    t.indexRoots.assign(def.realIndexes.size(), 0);
    lastLv_ = {0xFFFF, 0};
}

void DatabaseChecker::rowsDone() {
    if (table_.rowsDone) return;
    table_.live.finish();
    table_.rowsDone = true;
}

// Owned and free-space maps; the pages of the owned map that are the
// table's data pages.
std::vector<uint32_t> DatabaseChecker::tableMaps(const TableDef& def) {
    TableState& t = table_;
    const std::string& where = t.where;
    if (def.ownedMap.isNull()) {
        problem(where + ": no owned-pages usage map", Remedy::kPagesFound);
    } else {
        attempt(where + " owned pages", Remedy::kPagesFound, [&] {
            UsageMap om = tableMap(def.ownedMap, where + " owned pages");
            markMap(om);
            t.listed = std::move(om.pages);
            t.mapLost = false;
        });
    }
    // A table checked as it was written: the pages whose rows were checked
    // were classified then, and are not read again for it.
    std::sort(t.seenOwn.begin(), t.seenOwn.end());
    std::vector<uint32_t> pages = ownDataPages(def, t.listed, t.seenOwn);
    if (!def.freeMap.isNull()) {
        attempt(where + " free-space pages", Remedy::kMapRebuilt, [&] {
            UsageMap fm = tableMap(def.freeMap, where + " free-space pages");
            markMap(fm);
        });
    }
    return pages;
}

// The rows of these data pages of the table.
void DatabaseChecker::checkPages(const std::vector<uint32_t>& pages) {
    TableState& t = table_;
    const TableDef& def = *t.def;
    for (uint32_t p : pages) {
        t.pages.push_back(p);
        auto page = db_.file().page(p);
        mark(p);
        if (isDataPageOf(*page, def.firstPage)) t.seenOwn.push_back(p);
        DataPage dp = parseDataPage(*page, p);
        uint64_t used = kDataHeaderSize + 2 * dp.slots.size();
        LiveSlots::Bits passed{};
        for (std::size_t i = 0; i < dp.slots.size(); ++i) {
            const Slot& s = dp.slots[i];
            used += s.length();
            if (s.deleted || s.overflow) report_.deadRowBytes += s.length();
            if (s.deleted) continue;
            RowPtr slot{p, static_cast<uint8_t>(i)};
            attempt(t.where, Remedy::kRowDropped, [&] {
                PageRef holder;
                RowPtr at;
                ByteView b = db_.fetchRow(def, slot, holder, &at);
                if (at != slot) {
                    mark(at.page);
                    t.overflowTargets.push_back(at.toU32());
                }
                checkRow(def, holder, b, slot, at, t.lvPagesUsed, *t.digest);
                passed[i >> 6] |= uint64_t{1} << (i & 63u);
                ++t.rows;
            });
        }
        t.live.addPage(p, passed);
        if (used <= kPageSize) report_.freeBytesOnPages += kPageSize - used;
    }
}

void DatabaseChecker::endTable(const TableDef& def) {
    TableState& t = table_;
    const std::string& where = t.where;
    for (uint32_t p : def.pages) mark(p);
    t.summary.rows = t.rows;
    std::sort(t.overflowTargets.begin(), t.overflowTargets.end());
    for (auto it = t.overflowTargets.begin();
         (it = std::adjacent_find(it, t.overflowTargets.end())) != t.overflowTargets.end(); ++it) {
        const RowPtr at = RowPtr::fromU32(*it);
        problem(where + ": two overflow pointers lead to the row at page " +
                    std::to_string(at.page) + " row " + std::to_string(at.row),
                Remedy::kRowDropped, at.page, at.row);
    }
    if (census_) checkUnlisted(def, t.listed, t.mapLost);
    if (def.rowCount != t.rows) {
        note(where + ": definition says " + std::to_string(def.rowCount) +
             " rows, the table holds " + std::to_string(t.rows) + " (page " +
             std::to_string(def.firstPage) + ")");
    }

    // Long-value column maps.
    for (const auto& m : def.longValueMaps) {
        std::vector<uint32_t> lvListed;  // ascending, as maps list their pages
        bool lvMapRead = m.owned.isNull();
        if (!m.owned.isNull()) {
            attempt(where + " long-value pages", Remedy::kMapRebuilt, [&] {
                UsageMap um = tableMap(m.owned, where + " long-value pages");
                markMap(um);
                lvListed = std::move(um.pages);
                lvMapRead = true;
            });
        }
        if (!m.free.isNull()) {
            attempt(where + " long-value free pages", Remedy::kMapRebuilt,
                    [&] { markMap(tableMap(m.free, where + " long-value free pages")); });
        }
        std::vector<uint32_t>& used = t.lvPagesUsed[m.column];
        std::sort(used.begin(), used.end());
        used.erase(std::unique(used.begin(), used.end()), used.end());
        for (uint32_t p : used) {
            if (lvMapRead && !std::binary_search(lvListed.begin(), lvListed.end(), p)) {
                problem(where + ": long-value page " + std::to_string(p) + " of column " +
                            std::to_string(m.column) + " is missing from the column's usage map",
                        Remedy::kMapRebuilt, p);
            }
        }
    }

    rowsDone();
    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
        const RealIndex& ri = def.realIndexes[i];
        const std::string whereIndex = where + ", index " + std::to_string(i);
        if (t.indexRoots[i] != 0 && t.indexRoots[i] == ri.rootPage) {
            // Its entries were checked as soon as it was written.
            attempt(whereIndex, Remedy::kIndexRebuilt, [&] {
                if (!ri.usageMap.isNull()) markMap(tableMap(ri.usageMap, whereIndex + " pages"));
            });
            continue;
        }
        attempt(whereIndex, Remedy::kIndexRebuilt,
                [&] { checkIndex(def, ri, i, t.live, tallies_[i]); });
    }
    report_.tables.push_back(t.summary);
}

// Every value decodes within bounds; long values are read whole. The
// same pass adds the row to the table's digest.
void DatabaseChecker::checkRow(const TableDef& def, const PageRef& page, ByteView bytes,
                               RowPtr rowSlot, RowPtr at,
                               std::map<uint16_t, std::vector<uint32_t>>& lvPagesUsed,
                               TableDigest& digest) {
    RowView rv = crackRow(def, bytes, at.page, at.row);
    const std::size_t start = static_cast<std::size_t>(bytes.data() - page->data());
    const int torn = tornSectorUnder(*page, def, rv, start, start + bytes.size());
    if (torn >= 0) {
        failDamage(damagedTable(def),
                   ": part of the row lies in bytes " + std::to_string(torn * 512) + "-" +
                       std::to_string(torn * 512 + 511) +
                       " of its page, which read as zeros (a write cut short)",
                   at.page, at.row);
    }
    digest.add(rowDigest(def, rv, at.page, at.row, [&](const Column& c, ByteView slot) {
        auto& used = lvPagesUsed[c.number];
        try {
            readLongValueInto(db_.file(), slot, at.page, at.row, longValue_, [&](RowPtr lv) {
                if (lastLv_ != std::make_pair(c.number, lv.page)) {
                    mark(lv.page);
                    used.push_back(lv.page);
                    lastLv_ = {c.number, lv.page};
                }
            });
        } catch (const JetException& e) {
            problem("table '" + def.name + "', column '" + c.name + "': " + e.error().description,
                    Remedy::kValueNulled, at.page, at.row);
            longValue_.clear();
        }
        return ByteView(longValue_);
    }));
    for (const auto& c : def.columns) {
        if (c.isBool() || c.isLongValue()) continue;
        auto b = columnBytes(def, c, rv, at.page, at.row);
        if (b && c.fixed() && b->size() != c.length) {
            failDamage(damagedTable(def), ", column '" + c.name + "': value of the wrong size",
                       at.page, at.row);
        }
    }
    tallyRow(def, rv, rowSlot, at);
}

// A text part of what an index should hold, made once a row for all the
// indexes that hold the column. A value whose key may depend on how the
// sharp s is counted sends the index to be checked entry by entry, where
// either count is taken.
void DatabaseChecker::appendTextKeyPart(IndexTally& t, const Column& c,
                                        const std::optional<ByteView>& stored, bool ascending) {
    if (!stored) {
        scratch_.push_back(ascending ? 0x00 : 0xFF);
        return;
    }
    auto made = std::find_if(textParts_.begin(), textParts_.end(), [&](const TextPart& p) {
        return p.column == &c && p.ascending == ascending;
    });
    if (made == textParts_.end()) {
        TextPart p{&c, ascending, textKeys_.size(), 0, false};
        bool dependsOnSharpS = false;
        appendStoredTextKey(textKeys_, *stored, ascending, SharpS::kTwoPositions, &dependsOnSharpS);
        p.unsure = dependsOnSharpS;
        p.length = textKeys_.size() - p.offset;
        made = textParts_.insert(textParts_.end(), p);
    }
    if (made->unsure) t.textByEntry = true;
    const auto from = textKeys_.begin() + static_cast<std::ptrdiff_t>(made->offset);
    scratch_.insert(scratch_.end(), from, from + static_cast<std::ptrdiff_t>(made->length));
}

// What each index should hold for this row, added once the whole row has
// been read.
void DatabaseChecker::tallyRow(const TableDef& def, const RowView& rv, RowPtr rowSlot, RowPtr at) {
    rowKeys_.clear();
    textParts_.clear();
    textKeys_.clear();
    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
        const RealIndex& idx = def.realIndexes[i];
        IndexTally& t = tallies_[i];
        bool hasNull = false;
        scratch_.clear();
        for (std::size_t k = 0; k < idx.columns.size(); ++k) {
            const Column* c = &def.columns[t.columnAt[k]];
            const auto stored = columnBytes(def, *c, rv, at.page, at.row);
            if (!stored) hasNull = true;
            if (t.keys && keyEncodable(c->type)) {
                appendKeyPart(scratch_, c->type, idx.columns[k].ascending, stored,
                              c->isBool() && boolValue(*c, rv));
            } else if (t.keys && t.text[k]) {
                appendTextKeyPart(t, *c, stored, idx.columns[k].ascending);
            }
        }
        if (idx.ignoreNulls() && hasNull) {
            rowKeys_.push_back(kOptional);
        } else {
            rowKeys_.push_back(entryHash(rowSlot, scratch_));
        }
    }
    for (std::size_t i = 0; i < rowKeys_.size(); ++i) {
        if (rowKeys_[i] == kOptional) {
            tallies_[i].optionalRows = true;
        } else {
            tallies_[i].sum += rowKeys_[i];
            ++tallies_[i].required;
        }
    }
}

}  // namespace jet
