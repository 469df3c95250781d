// The database engine: one object per compaction, created fresh and released
// when the routine ends. CompactDatabase raises a RaisedError carrying the
// engine's number, description and source when it fails.
#pragma once

#include <memory>
#include <string>

namespace platform {

class DatabaseEngine {
  public:
    virtual ~DatabaseEngine() = default;
    virtual void CompactDatabase(const std::string& sourceConnection,
                                 const std::string& destinationConnection) = 0;
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
    std::unique_ptr<DatabaseEngine> create() override;
};

}  // namespace platform
