#include "platform/DatabaseEngine.h"

#include "platform/ErrorRecord.h"
#include "platform/JetEngine.h"

namespace platform {

CompactOutcome outcomeOf(const jet::Result<jet::RepairSummary>& r) {
    if (!r)
        throw RaisedError(ErrorRecord{r.error().number, r.error().description, r.error().source});
    return r.value();
}

namespace {
class JetEngine : public DatabaseEngine {
  public:
    JetEngine(jet::Env* env, const jet::LostKey& lostKey, jet::CompactWatch* watch)
        : env_(env), lostKey_(lostKey), watch_(watch) {}
    CompactOutcome CompactDatabase(const std::string& sourceConnection,
                                   const std::string& destinationConnection,
                                   const HeldFiles& files) override {
        return outcomeOf(jet::CompactDatabase(sourceConnection, destinationConnection, files,
                                              env_, lostKey_, watch_));
    }

  private:
    jet::Env* env_;
    jet::LostKey lostKey_;
    jet::CompactWatch* watch_;
};
}  // namespace

std::unique_ptr<DatabaseEngine> JetEngineFactory::create() {
    return std::make_unique<JetEngine>(env_, lostKey_, watch_);
}

}  // namespace platform
