// Long platform calls run on a worker thread while the window's thread waits
// in a local event loop that drops the user's input: the window keeps
// repainting and answering the desktop, yet accepts no other command (clicks,
// keys and close requests made meanwhile are dropped, not delivered later),
// and a wait cursor set by the caller stays. Errors raised by the call are raised
// again on the window's thread, where the caller's trap and its message box
// live.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/DatabaseEngine.h"
#include "platform/FileSystem.h"

namespace app {

// Runs work on a new thread and returns when it has finished, servicing the
// calling thread's other events meanwhile and dropping user input. Rethrows
// what work threw.
void runOffThread(const std::function<void()>& work);

// The engine's compaction, off the window's thread.
class OffThreadEngineFactory : public platform::DatabaseEngineFactory {
  public:
    explicit OffThreadEngineFactory(platform::DatabaseEngineFactory& engines) : engines_(engines) {}
    std::unique_ptr<platform::DatabaseEngine> create() override;

  private:
    platform::DatabaseEngineFactory& engines_;
};

// The file system, with the two operations of a held database that wait for
// the disk (making the copy durable and swapping it in) off the window's
// thread.
class OffThreadFileSystem : public platform::FileSystem {
  public:
    explicit OffThreadFileSystem(platform::FileSystem& files) : files_(files) {}
    std::string lookUp(const std::string& path) override { return files_.lookUp(path); }
    int64_t length(const std::string& path) override { return files_.length(path); }
    void remove(const std::string& path) override { files_.remove(path); }
    void rename(const std::string& from, const std::string& to) override {
        files_.rename(from, to);
    }
    std::unique_ptr<platform::HeldDatabase> hold(const std::string& path,
                                                 const std::string& tempPath) override;

  private:
    platform::FileSystem& files_;
};

}  // namespace app
