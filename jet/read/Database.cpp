#include "read/Database.h"

#include <algorithm>

#include "format/DataPage.h"
#include "format/Row.h"
#include "format/Text.h"
#include "format/UsageMap.h"

namespace jet {

std::unique_ptr<Database> Database::open(Env& env, const std::string& path,
                                         const std::string& password, int heldFd) {
    auto file = PageFile::open(env, path, heldFd);
    if (!file->header().passwordMatches(password)) {
        fail(ErrorCode::kInvalidPassword, "Not a valid password.");
    }
    return std::unique_ptr<Database>(new Database(std::move(file), password));
}

std::unique_ptr<Database> Database::openDamaged(Env& env, const std::string& path,
                                                const std::string& password, OpenDamage& found,
                                                int heldFd, const KeyRecovery& recovery) {
    auto file = PageFile::openDamaged(env, path, password, found, nullptr, heldFd, recovery);
    if (!file->header().passwordMatches(password)) {
        fail(ErrorCode::kInvalidPassword, "Not a valid password.");
    }
    std::unique_ptr<Database> db(new Database(std::move(file), password));
    db->damaged_ = true;
    return db;
}

std::unique_ptr<Database> Database::reopen() const {
    if (!damaged_) return open(file_->env(), file_->path(), password_, file_->heldFd());
    OpenDamage found;
    auto file = PageFile::openDamaged(file_->env(), file_->path(), password_, found,
                                      file_.get(), file_->heldFd());
    std::unique_ptr<Database> db(new Database(std::move(file), password_));
    db->damaged_ = true;
    return db;
}

const TableDef& Database::tableDef(uint32_t page, const std::string& name) {
    auto it = defs_.find(page);
    if (it != defs_.end()) return *it->second;
    if (page < 2) failDamage(DamagedTable{name, page}, " has an impossible definition page", page);
    auto def = std::make_unique<TableDef>(readTableDef(*file_, page, name));
    return *defs_.emplace(page, std::move(def)).first->second;
}

const std::vector<CatalogEntry>& Database::catalog() {
    if (catalogRead_) return catalog_;
    const TableDef& def = tableDef(kCatalogPage, "MSysObjects");
    const Column* id = def.columnByName("Id");
    const Column* parent = def.columnByName("ParentId");
    const Column* name = def.columnByName("Name");
    const Column* type = def.columnByName("Type");
    const Column* flags = def.columnByName("Flags");
    if (!id || !parent || !name || !type || !flags) {
        failDamage("the catalogue lacks one of its columns", kCatalogPage);
    }
    auto intOf = [&](const Column& c, const RowView& rv, const RowLocation& at) -> int64_t {
        auto b = columnBytes(def, c, rv, at.data.page, at.data.row);
        if (!b || b->size() < 2) return 0;
        if (b->size() >= 4) return static_cast<int32_t>(u32(*b, 0));
        return static_cast<int16_t>(u16(*b, 0));
    };
    scanRows(def, [&](const RowLocation& at, ByteView bytes) {
        RowView rv = crackRow(def, bytes, at.data.page, at.data.row);
        CatalogEntry e;
        e.id = static_cast<int32_t>(intOf(*id, rv, at));
        e.parentId = static_cast<int32_t>(intOf(*parent, rv, at));
        e.type = static_cast<int16_t>(intOf(*type, rv, at));
        e.flags = static_cast<int32_t>(intOf(*flags, rv, at));
        if (auto n = columnBytes(def, *name, rv, at.data.page, at.data.row)) {
            e.name = utf16ToUtf8(decodeText(*n));
        }
        catalog_.push_back(std::move(e));
    });
    catalogRead_ = true;
    return catalog_;
}

std::vector<CatalogEntry> Database::localTables() {
    std::vector<CatalogEntry> out;
    for (const auto& e : catalog()) {
        if (e.isLocalTable()) out.push_back(e);
    }
    return out;
}

const DataPage& Database::parsed(uint32_t number, PageRef& holder) {
    if (!parsedPage_ || parsedNumber_ != number) {
        parsedPage_ = file_->page(number);
        parsed_ = parseDataPage(*parsedPage_, number);
        parsedNumber_ = number;
    }
    holder = parsedPage_;
    return parsed_;
}

ByteView Database::resolve(const TableDef& def, RowPtr slot, PageRef& holder, RowPtr* dataAt) {
    RowPtr at = slot;
    for (int hops = 0;; ++hops) {
        if (hops > 16)
            failDamage(damagedTable(def), ": overflow rows form a chain too long", at.page, at.row);
        const DataPage& dp = parsed(at.page, holder);
        if (dp.owner != def.firstPage) {
            failDamage(damagedTable(def), ": row pointer leads to a page of another owner", at.page,
                       at.row);
        }
        if (at.row >= dp.slots.size()) {
            failDamage(damagedTable(def), ": row pointer leads to a missing row", at.page, at.row);
        }
        const Slot& s = dp.slots[at.row];
        // The first slot must be live; overflow targets carry only the deleted flag.
        if (hops == 0 && s.deleted) {
            failDamage(damagedTable(def), ": row pointer leads to a deleted row", at.page, at.row);
        }
        if (hops > 0 && !s.deleted) {
            // A row by itself, which the table holds once already.
            failDamage(damagedTable(def),
                       ": an overflow pointer leads to a row that is not "
                       "an overflow row",
                       at.page, at.row);
        }
        ByteView b = rowBytes(*holder, dp, at.row, "row");
        if (s.overflow) {
            if (b.size() < 4)
                failDamage(damagedTable(def), ": overflow pointer too short", at.page, at.row);
            at = RowPtr::fromU32(u32(b, 0));
            continue;
        }
        if (dataAt) *dataAt = at;
        return b;
    }
}

ByteView Database::fetchRow(const TableDef& def, RowPtr slot, PageRef& holder, RowPtr* dataAt) {
    return resolve(def, slot, holder, dataAt);
}

void Database::scanRows(const TableDef& def,
                        const std::function<void(const RowLocation&, ByteView)>& f) {
    if (def.ownedMap.isNull()) return;
    const UsageMap owned =
        readUsageMap(*file_, def.ownedMap, ("table '" + def.name + "' owned pages").c_str());
    for (uint32_t p : owned.pages) {
        auto page = file_->page(p);
        if (!isDataPageOf(*page, def.firstPage)) {
            // Another table's page is only stale in this map; anything
            // else held rows of the table that cannot be read.
            const uint32_t owner = (*page)[0] == kPageData ? u32(*page, 4) : 0;
            if (owner > 1 && owner != kOwnerLval) continue;
            failDamage(damagedTable(def),
                       ": its owned-pages map lists page " + std::to_string(p) +
                           ", which is not one of its data pages",
                       p);
        }
        const DataPage dp = parseDataPage(*page, p);
        for (std::size_t i = 0; i < dp.slots.size(); ++i) {
            if (dp.slots[i].deleted) continue;
            RowLocation loc;
            loc.slot = {p, static_cast<uint8_t>(i)};
            PageRef holder;
            ByteView b = resolve(def, loc.slot, holder, &loc.data);
            f(loc, b);
        }
    }
}

}  // namespace jet
