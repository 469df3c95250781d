// Writing a compacted copy of a database.
//
// The copy keeps every table, row, long value, index and the password, drops
// every page nothing reachable refers to, repacks rows densely (overflow rows
// folded back, deleted slots gone, rows of a table with a primary key in key
// order), re-stores long values exactly sized, rebuilds every index, and
// remaps table Ids (definition page numbers) wherever they are stored. Page 0
// is copied byte for byte unless the password changes. None of these throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jet/Env.h"
#include "jet/Error.h"
#include "jet/KeySearch.h"
#include "jet/RepairCounts.h"

namespace jet {

// The memory a compaction takes for what grows with the database (orders of
// rows, index entries), whatever its shape or size; what does not fit goes to
// temporary files in the destination's folder (or the system's temporary
// folder), which never outlive the compaction. Buffers of a fixed size come
// on top, some tens of megabytes.
inline constexpr uint64_t kDefaultMemoryBudget = 112ull << 20;

// How far a compaction's copy has come: pages of the source read, of those
// its maps list for the tables copied (data, long value and index pages).
// The copy is then flushed and checked, which takes a small part of the
// time and is not told. A compaction that meets damage starts again as a
// repair, which reads the pages again: its pass is told from 0 anew, after
// a step of 0 pages of 0 as it starts to read the damaged tables.
struct CompactProgress {
    uint64_t pagesRead = 0;
    uint64_t pagesToRead = 0;  // the same through a pass; may be 0
    double seconds = 0;        // since the pass began
    bool repairing = false;    // the repair's pass
};

// Told how far a compaction has come. Called only on the thread that asked
// for the compaction, never from a signal handler: once as a pass begins
// (0 pages read), a few times a second at most while it reads, and once
// as it has read them all (pagesRead == pagesToRead). Within a pass
// pagesRead only grows.
class CompactWatch {
  public:
    virtual ~CompactWatch() = default;
    virtual void progress(const CompactProgress& p) = 0;
};

struct CompactRequest {
    std::string sourcePath;
    std::string sourcePassword;
    std::string destinationPath;
    // The copy's password, UTF-8; empty for none.
    std::string destinationPassword;
    // Reopen and check the copy before reporting success.
    bool verify = true;
    // See kDefaultMemoryBudget; at least 256 KiB is taken, and in a 32-bit
    // process at most 512 MiB. The copy is the same whatever the budget.
    uint64_t memoryBudget = kDefaultMemoryBudget;
    // Files the caller holds open, -1 for none (see jet/InPlace.h): the
    // source, already locked by the caller, and the empty destination it
    // created, open for reading and writing. The engine reads and writes
    // through them, never opens, creates, closes or removes them by name
    // (a failed copy is the caller's to remove), and uses the paths above
    // in messages only.
    int sourceFd = -1;
    int destinationFd = -1;
    // The calls the engine makes on files and locks (none: the system's own).
    Env* env = nullptr;
    // An encoded file whose header is lost: its key given, or searched for
    // (minutes for every key). The key found is in RepairSummary.
    LostKey lostKey = {};
    // Told how far the copy has come (none: nobody watches).
    CompactWatch* watch = nullptr;
};

// Every row a damaged file holds and where each went: the account a repair
// balances before its copy replaces anything. A row is a slot of a data
// page that reads as a row of a table of the file (a row kept from a page
// whose header was damaged counts as found too); rows that do not read at
// all are damage, logged where they are met, and not counted here.
struct RowAccount {
    uint64_t rows = 0;            // live rows found
    uint64_t deleted = 0;         // rows flagged deleted whose bytes still read
    uint64_t kept = 0;            // in their own tables (rows brought back among them)
    uint64_t recovered = 0;       // in tables that come back under a name the repair gave
    uint64_t dropped = 0;         // left out, each with its reason in MSysCompactError
    uint64_t deletedLeftOut = 0;  // flagged deleted, left out as the file says
    uint64_t copied() const { return kept + recovered; }
    bool balances() const {
        return rows + deleted == kept + recovered + dropped + deletedLeftOut;
    }
    // Whether the copy holds fewer rows than the damaged file held.
    bool fewer() const { return copied() < rows; }
};

// What a repair did to one table of the copy.
struct TableRepair : RepairCounts {
    std::string table;
    uint64_t countedRows = 0;  // the definition's count, where it was stale
    uint32_t indexesRebuilt = 0;
    uint32_t indexesReordered = 0;  // keyed anew in the General order, their columns declared so
    bool lost = false;       // its definition could not be read: nothing of it is in the copy
    bool recovered = false;  // its catalogue row was lost: it comes back under a new name
};

// Rows of one table that refer, through a relationship, to rows of another
// that the repair dropped.
struct DanglingReferences {
    std::string table;       // the referring table
    std::string referenced;  // the table whose rows were dropped
    std::string relationship;
    uint64_t rows = 0;  // referring rows now without their row
};

// What the compaction had to repair. Empty for a sound database; every row
// dropped, changed, moved back, left out or brought back, and every other
// loss, is also listed in the copy's table MSysCompactError (one entry each;
// the rows of a page moved back in one entry).
struct RepairSummary : RepairCounts {  // the tables' counts added up
    std::vector<TableRepair> tables;  // those with anything to say
    std::vector<DanglingReferences> references;
    uint32_t tablesLost = 0;
    uint64_t logEntries = 0;     // rows added to MSysCompactError
    bool headerRebuilt = false;  // page 0 was damaged and made anew
    // The key the pages are encoded with was lost or damaged with the
    // header and is had again: searched for, given, or found near the
    // damaged one. A later run may be given it.
    bool keySearched = false, keyRecovered = false;
    uint32_t databaseKey = 0;
    RowAccount account;          // every row found, and where it went
    // Whether the copy's rows differ from what the source's pages hold, or
    // anything was logged: the damaged original is then worth keeping.
    bool lostOrChanged() const {
        return rowsDiffer() || tablesLost != 0 || logEntries != 0 || account.fewer();
    }
};

struct CompactResult {
    uint32_t sourcePages = 0;
    uint32_t destinationPages = 0;
    // Wall time of each step, in seconds: writing the copy, flushing it to
    // disk, and reopening and checking it (the last two at the same time).
    double copySeconds = 0, flushSeconds = 0, verifySeconds = 0;
    RepairSummary repair;
};

// Writes the copy. The destination must not exist; on any failure the
// partial destination is removed and the source is untouched.
Result<CompactResult> compactFile(const CompactRequest& request);

// The engine call the compaction routine makes: both connection strings as
// OLE DB composes them ("Provider=...;Data Source=...;Jet OLEDB:...").
Result<RepairSummary> CompactDatabase(const std::string& sourceConnection,
                                      const std::string& destinationConnection);

}  // namespace jet
