// The database engine: one object per compaction, created fresh and released
// when the routine ends. CompactDatabase raises a RaisedError carrying the
// engine's number, description and source when it fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jet/Compact.h"
#include "jet/InPlace.h"
#include "jet/KeySearch.h"

namespace platform {

// What the engine reports of a compaction that succeeded: what its repair of
// a damaged database did (nothing for a sound database), as the engine
// counts it and decides whether anything was lost or changed.
using CompactOutcome = jet::RepairSummary;

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
    // its key again; watch: told how far each compaction has come, on the
    // thread that calls CompactDatabase.
    explicit JetEngineFactory(jet::Env* env = nullptr, jet::LostKey lostKey = {},
                              jet::CompactWatch* watch = nullptr)
        : env_(env), lostKey_(lostKey), watch_(watch) {}
    std::unique_ptr<DatabaseEngine> create() override;

  private:
    jet::Env* env_;
    jet::LostKey lostKey_;
    jet::CompactWatch* watch_;
};

}  // namespace platform
