// The database engine: one object per compaction, created fresh and released
// when the routine ends. CompactDatabase raises a RaisedError carrying the
// engine's number, description and source when it fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jet/InPlace.h"
#include "jet/KeySearch.h"

namespace platform {

// Rows of one table that refer to rows of another the repair dropped.
struct DanglingRows {
    std::string table, referenced;
    uint64_t rows = 0;
};

// What the engine reports of a compaction that succeeded: what its repair of
// a damaged database dropped, changed, moved back to its own table, left out
// as foreign or brought back (all zero for a sound database).
struct CompactOutcome {
    uint64_t rowsDropped = 0;
    uint64_t rowsChanged = 0;
    uint32_t tablesLost = 0;
    uint64_t logEntries = 0;  // entries the repair wrote into MSysCompactError
    uint64_t rowsMovedBack = 0;
    uint64_t rowsForeign = 0;
    uint64_t rowsRestored = 0;
    std::vector<DanglingRows> dangling = {};
    // The rows the damaged database held, and of them those the copy keeps
    // (in their own tables or in recovered ones).
    uint64_t rowsFound = 0;
    uint64_t rowsCopied = 0;
    // The header was lost with the key its pages are encoded with, and
    // every key was tried to find it again.
    bool keySearched = false;
    uint32_t databaseKey = 0;
    bool fewerRows() const { return rowsCopied < rowsFound; }
    bool lostOrChanged() const {
        return rowsDropped != 0 || rowsChanged != 0 || tablesLost != 0 || logEntries != 0 ||
               rowsMovedBack != 0 || rowsForeign != 0 || rowsRestored != 0 || fewerRows();
    }
};

// The files the routine holds open for the engine (see HeldDatabase): the
// database, locked, as the source, and the empty temporary it created as the
// destination. The engine reads and writes them through these and never by
// the connection strings' paths, which then only name them in messages.
// -1: opened by the paths.
using jet::HeldFiles;

class DatabaseEngine {
  public:
    virtual ~DatabaseEngine() = default;
    virtual CompactOutcome CompactDatabase(const std::string& sourceConnection,
                                           const std::string& destinationConnection,
                                           const HeldFiles& files) = 0;
};

class DatabaseEngineFactory {
  public:
    virtual ~DatabaseEngineFactory() = default;
    // Creating the engine may itself fail (raises).
    virtual std::unique_ptr<DatabaseEngine> create() = 0;
};

// Our Jet 4 engine behind the interface.
class JetEngineFactory : public DatabaseEngineFactory {
  public:
    // env: the calls the engine makes on files and locks (none: the
    // system's own); lostKey: how an encoded file whose header is lost has
    // its key again.
    explicit JetEngineFactory(jet::Env* env = nullptr, jet::LostKey lostKey = {})
        : env_(env), lostKey_(lostKey) {}
    std::unique_ptr<DatabaseEngine> create() override;

  private:
    jet::Env* env_;
    jet::LostKey lostKey_;
};

}  // namespace platform
