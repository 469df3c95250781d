#include "app/OffThread.h"

#include <QEventLoop>
#include <exception>
#include <thread>

namespace app {

void runOffThread(const std::function<void()>& work) {
    std::exception_ptr failure;
    QEventLoop loop;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        // Queued: delivered by the loop below, even if the work ended
        // before the loop started.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    if (failure) std::rethrow_exception(failure);
}

namespace {
class OffThreadEngine : public platform::DatabaseEngine {
  public:
    explicit OffThreadEngine(std::unique_ptr<platform::DatabaseEngine> engine)
        : engine_(std::move(engine)) {}
    platform::CompactOutcome CompactDatabase(const std::string& sourceConnection,
                                             const std::string& destinationConnection) override {
        platform::CompactOutcome outcome;
        runOffThread(
            [&] { outcome = engine_->CompactDatabase(sourceConnection, destinationConnection); });
        return outcome;
    }

  private:
    std::unique_ptr<platform::DatabaseEngine> engine_;
};
}  // namespace

std::unique_ptr<platform::DatabaseEngine> OffThreadEngineFactory::create() {
    return std::make_unique<OffThreadEngine>(engines_.create());
}

void OffThreadFileSystem::flush(const std::string& path) {
    runOffThread([&] { files_.flush(path); });
}

void OffThreadFileSystem::replace(const std::string& from, const std::string& target) {
    runOffThread([&] { files_.replace(from, target); });
}

}  // namespace app
