// The compaction's long platform calls, made through a runner that the
// window supplies: the Qt window's and the Windows window's each run the call
// on a worker thread while the window's thread keeps painting and drops the
// user's input (app/OffThread.h, app-win32/OffThread.h). What the call
// raised is raised again on the window's thread, where the caller's trap and
// its message box live.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/DatabaseEngine.h"
#include "platform/FileSystem.h"

namespace compaction {

// Runs the work and returns when it has finished; rethrows what it threw.
using Runner = std::function<void(const std::function<void()>& work)>;

// The engine's compaction, through the runner.
class OffThreadEngineFactory : public platform::DatabaseEngineFactory {
  public:
    OffThreadEngineFactory(platform::DatabaseEngineFactory& engines, Runner run)
        : engines_(engines), run_(std::move(run)) {}
    std::unique_ptr<platform::DatabaseEngine> create() override;

  private:
    platform::DatabaseEngineFactory& engines_;
    Runner run_;
};

// The file system, with the two operations of a held database that wait for
// the disk (making the copy durable and swapping it in) through the runner.
class OffThreadFileSystem : public platform::FileSystem {
  public:
    OffThreadFileSystem(platform::FileSystem& files, Runner run)
        : files_(files), run_(std::move(run)) {}
    std::string lookUp(const std::string& path) override { return files_.lookUp(path); }
    int64_t length(const std::string& path) override { return files_.length(path); }
    std::string fileInUse(const std::string& path) override { return files_.fileInUse(path); }
    std::unique_ptr<platform::HeldDatabase> hold(const std::string& path,
                                                 const std::string& tempPath) override;

  private:
    platform::FileSystem& files_;
    Runner run_;
};

}  // namespace compaction
