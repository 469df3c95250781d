#include "compaction/OffThread.h"

namespace compaction {

namespace {
class OffThreadEngine : public platform::DatabaseEngine {
  public:
    OffThreadEngine(std::unique_ptr<platform::DatabaseEngine> engine, const Runner& run)
        : engine_(std::move(engine)), run_(run) {}
    platform::CompactOutcome CompactDatabase(const std::string& sourceConnection,
                                             const std::string& destinationConnection,
                                             const platform::HeldFiles& files) override {
        platform::CompactOutcome outcome;
        run_([&] {
            outcome = engine_->CompactDatabase(sourceConnection, destinationConnection, files);
        });
        return outcome;
    }

  private:
    std::unique_ptr<platform::DatabaseEngine> engine_;
    const Runner& run_;
};
}  // namespace

std::unique_ptr<platform::DatabaseEngine> OffThreadEngineFactory::create() {
    return std::make_unique<OffThreadEngine>(engines_.create(), run_);
}

namespace {
class OffThreadHeldDatabase : public platform::HeldDatabase {
  public:
    OffThreadHeldDatabase(std::unique_ptr<platform::HeldDatabase> held, const Runner& run)
        : held_(std::move(held)), run_(run) {}
    std::string path() const override { return held_->path(); }
    std::string temporaryPath() const override { return held_->temporaryPath(); }
    bool temporaryExists() override { return held_->temporaryExists(); }
    void removeTemporary() override { held_->removeTemporary(); }
    int createTemporary() override { return held_->createTemporary(); }
    int database() const override { return held_->database(); }
    void flushTemporary() override {
        run_([&] { held_->flushTemporary(); });
    }
    std::string replace(bool keepOriginal) override {
        std::string kept;
        run_([&] { kept = held_->replace(keepOriginal); });
        return kept;
    }

  private:
    std::unique_ptr<platform::HeldDatabase> held_;
    const Runner& run_;
};
}  // namespace

std::unique_ptr<platform::HeldDatabase> OffThreadFileSystem::hold(const std::string& path,
                                                                  const std::string& tempPath) {
    return std::make_unique<OffThreadHeldDatabase>(files_.hold(path, tempPath), run_);
}

}  // namespace compaction
