// What a compaction copies from a damaged database, table by table.
//
// A table its check finds sound is copied as the source holds it. A damaged
// one is read by the salvage reader and its indexes rebuilt from the rows
// kept. A table whose definition cannot be read is left out and logged as
// lost (its catalogue and permission rows with it); a table definition the
// catalogue no longer lists, when the catalogue lost rows, comes back under
// a name that says it was recovered. Every loss and change goes into the
// damage log, MSysCompactError, which the copy gets as a table of its own
// (with its catalogue and permission rows), after the rows of one the
// source already has.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "jet/Compact.h"
#include "ops/compact/PlannedTable.h"
#include "ops/repair/DamageLog.h"
#include "ops/repair/RowLedger.h"
#include "ops/repair/SalvagedRows.h"
#include "read/Database.h"
#include "read/PageCensus.h"
#include "salvage/TableSalvage.h"
#include "util/FunctionRef.h"

namespace jet {

class RepairPlan {
  public:
    // stopped: what stopped the plain compaction, if anything did; damage
    // it met in a table makes that table damaged even where its check
    // finds nothing.
    RepairPlan(Database& db, const Error* stopped);
    ~RepairPlan();
    RepairPlan(const RepairPlan&) = delete;
    RepairPlan& operator=(const RepairPlan&) = delete;

    // Logs what was rebuilt before the tables were read (page 0, a file cut
    // short); call before make().
    void logFileDamage(const std::string& what);

    // Decides every table's fate. False when nothing in the source needs a
    // repair (what stopped the plain compaction was not the source's).
    bool make();

    // The tables to copy, and the definition pages of tables that are gone.
    std::vector<PlannedTable> tables();
    const std::vector<uint32_t>& gone() const { return gone_; }
    const RepairSummary& summary() const { return summary_; }

  private:
    struct Table {
        Table(CatalogEntry e, const TableDef* d) : entry(std::move(e)), def(d) {}
        CatalogEntry entry;
        const TableDef* def = nullptr;
        bool damaged = false;
        bool recovered = false;
        bool fresh = false;  // made by the repair (the damage log)
        uint64_t rowsCopied = 0;  // not salvaged: the rows copied as the source holds them
        std::unique_ptr<TableSalvage> salvage;
        std::unique_ptr<SalvagedRows> source;
    };

    // The catalogue (RepairCatalogue.cpp).
    const TableDef& catalogueDef();
    std::vector<std::pair<CatalogEntry, RowPtr>> readCatalogue(const TableDef& def);
    void findTables();
    void recoverOrphans(const std::vector<std::pair<CatalogEntry, RowPtr>>& rows);
    std::string recoveredName(uint32_t page, uint8_t tableType);
    struct Ace {
        RowPtr slot;
        int32_t objectId = 0;
        Bytes sid;  // masked
        int32_t acm = 0;
        bool inheritable = false;
    };
    std::vector<Ace> aceRows(Table& aces);
    void keepCatalogueInStep();
    Bytes catalogueRow(const CatalogEntry& e);
    void addPermissions(Table& aces, const std::vector<Ace>& rows, int32_t objectId);
    void addDamageLog();
    Table* catalogueTable();
    Table* tableNamed(const std::string& name);
    SalvagedRows& sourceOf(Table& t);

    // The tables (RepairPlan.cpp).
    void judge();
    void salvage(Table& t);
    void summarise();
    // Every row found, and where it went; fails when they do not balance.
    void account();
    // Rows that refer, through a relationship, to rows a repair dropped
    // (RepairReferences.cpp).
    void findDanglingReferences();
    // Each row of a table as the copy gets it: as salvaged, or as it stands.
    void eachRow(Table& t, FunctionRef<void(const TableDef&, const RowView&, RowPtr)> f);

    Database& db_;
    std::optional<uint32_t> stoppedAt_;  // the table the plain compaction stopped in
    std::string stoppedIn_;              // by name, where its page is not known
    std::unique_ptr<PageCensus> census_;
    std::map<uint32_t, std::vector<uint32_t>> listed_;
    std::map<uint32_t, const TableDef*> byPage_;
    std::unique_ptr<SalvageContext> ctx_;
    std::vector<std::unique_ptr<TableDef>> defs_;  // made by the repair
    std::vector<Table> tables_;
    std::vector<std::pair<CatalogEntry, RowPtr>> catalogue_;  // rows read, with their slots
    std::vector<uint32_t> gone_;
    std::vector<RowPtr> duplicates_;  // catalogue rows naming a table named before
    std::vector<std::string> lostTables_;
    Bytes ownerSid_;  // the owner new catalogue rows get (masked)
    DamageLog log_;
    RepairSummary summary_;
    bool catalogueDamaged_ = false;
    bool catalogueMade_ = false;  // its definition made anew
};

}  // namespace jet
