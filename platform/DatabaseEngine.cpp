#include "platform/DatabaseEngine.h"

#include "jet/Compactor.h"
#include "platform/ErrorRecord.h"

namespace platform {

namespace {
class JetEngine : public DatabaseEngine {
  public:
    void CompactDatabase(const std::string& sourceConnection,
                         const std::string& destinationConnection) override {
        auto r = jet::CompactDatabase(sourceConnection, destinationConnection);
        if (!r)
            throw RaisedError(
                ErrorRecord{r.error().number, r.error().description, r.error().source});
    }
};
}  // namespace

std::unique_ptr<DatabaseEngine> JetEngineFactory::create() { return std::make_unique<JetEngine>(); }

}  // namespace platform
