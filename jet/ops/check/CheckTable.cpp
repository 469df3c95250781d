// Checking a table's rows and long values, and what its indexes must hold.
#include <algorithm>

#include "format/DataPage.h"
#include "format/LongValue.h"
#include "format/Row.h"
#include "keys/KeyEncoding.h"
#include "read/SalvagePage.h"
#include "read/TableSalvage.h"
#include "ops/check/DatabaseChecker.h"
#include "read/Value.h"

namespace jet {

void DatabaseChecker::checkTable(const CatalogEntry& entry) {
    const TableDef& def = db_.tableDef(entry.tdefPage(), entry.name);
    for (uint32_t p : def.pages) mark(p);
    TableSummary summary;
    summary.name = entry.name;
    summary.definitionPage = def.firstPage;
    summary.system = entry.isSystem();
    summary.indexes = static_cast<uint32_t>(def.realIndexes.size());
    const std::string where = "table '" + def.name + "'";

    // Owned and free-space maps. The pages the owned map lists are told
    // apart from its data pages as the rows are read, so that each is
    // read once.
    std::vector<uint32_t> listed;
    bool mapLost = true;
    if (def.ownedMap.isNull()) {
        problem(where + ": no owned-pages usage map", Remedy::kPagesFound);
    } else {
        attempt(where + " owned pages", Remedy::kPagesFound, [&] {
            UsageMap om = tableMap(def.ownedMap, where + " owned pages");
            markMap(om);
            listed = std::move(om.pages);
            mapLost = false;
        });
    }
    const std::vector<uint32_t> pages = ownDataPages(def, listed);
    if (!def.freeMap.isNull()) {
        attempt(where + " free-space pages", Remedy::kMapRebuilt, [&] {
            UsageMap fm = tableMap(def.freeMap, where + " free-space pages");
            markMap(fm);
        });
    }

    // Rows and long values; each row also adds what each index should
    // hold for it to that index's tally.
    tallies_.clear();
    for (const auto& ri : def.realIndexes) tallies_.push_back(makeTally(def, ri));
    std::vector<uint32_t> liveSlots;
    std::map<uint16_t, std::vector<uint32_t>> lvPagesUsed;  // sorted when the rows are done
    TableDigest& digest = report_.digests[def.firstPage];
    lastLv_ = {0xFFFF, 0};
    uint64_t rows = 0;
    for (uint32_t p : pages) {
        auto page = db_.file().page(p);
        mark(p);
        DataPage dp = parseDataPage(*page, p);
        uint64_t used = kDataHeaderSize + 2 * dp.slots.size();
        for (std::size_t i = 0; i < dp.slots.size(); ++i) {
            const Slot& s = dp.slots[i];
            used += s.length();
            if (s.deleted || s.overflow) report_.deadRowBytes += s.length();
            if (s.deleted) continue;
            RowPtr slot{p, static_cast<uint8_t>(i)};
            attempt(where, Remedy::kRowDropped, [&] {
                PageRef holder;
                RowPtr at;
                ByteView b = db_.fetchRow(def, slot, holder, &at);
                if (at != slot) mark(at.page);
                checkRow(def, holder, b, slot, at, lvPagesUsed, digest);
                liveSlots.push_back(slot.toU32());
                ++rows;
            });
        }
        if (used <= kPageSize) report_.freeBytesOnPages += kPageSize - used;
    }
    summary.rows = rows;
    if (census_) checkUnlisted(def, listed, mapLost);
    if (def.rowCount != rows) {
        note(where + ": definition says " + std::to_string(def.rowCount) +
             " rows, the table holds " + std::to_string(rows) + " (page " +
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
        std::vector<uint32_t>& used = lvPagesUsed[m.column];
        std::sort(used.begin(), used.end());
        used.erase(std::unique(used.begin(), used.end()), used.end());
        for (uint32_t p : used) {
            if (lvMapRead && !std::binary_search(lvListed.begin(), lvListed.end(), p)) {
                problem(where + ": long-value page " + std::to_string(p) + " of column " +
                            std::to_string(m.column) + " is missing from the column's usage map",
                        Remedy::kMapRebuilt);
            }
        }
    }

    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
        if (i == 0) std::sort(liveSlots.begin(), liveSlots.end());
        attempt(where + ", index " + std::to_string(i), Remedy::kIndexRebuilt, [&] { checkIndex(def, def.realIndexes[i], i, liveSlots, tallies_[i]); });
    }
    report_.tables.push_back(summary);
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
        failDamage("table '" + def.name + "': part of the row lies in bytes " +
                       std::to_string(torn * 512) + "-" + std::to_string(torn * 512 + 511) +
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
                    Remedy::kValueNulled);
            longValue_.clear();
        }
        return ByteView(longValue_);
    }));
    for (const auto& c : def.columns) {
        if (c.isBool() || c.isLongValue()) continue;
        auto b = columnBytes(def, c, rv, at.page, at.row);
        if (b && c.fixed() && b->size() != c.length) {
            failDamage("table '" + def.name + "', column '" + c.name + "': value of the wrong size",
                       at.page, at.row);
        }
    }
    // What each index should hold for this row, added once the whole
    // row has been read.
    rowKeys_.clear();
    for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
        const RealIndex& idx = def.realIndexes[i];
        IndexTally& t = tallies_[i];
        bool hasNull = false;
        scratch_.clear();
        for (std::size_t k = 0; k < idx.columns.size(); ++k) {
            const Column* c = def.columnByNumber(idx.columns[k].column);
            auto stored = columnBytes(def, *c, rv, at.page, at.row);
            if (!stored) hasNull = true;
            if (t.keys && keyEncodable(c->type)) {
                appendKeyPart(scratch_, c->type, idx.columns[k].ascending, stored,
                              c->isBool() && boolValue(*c, rv));
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
