// The copy being written: pages by number, encoded under their new number
// where the database key asks for it, held in a window of a few megabytes
// and written in runs of consecutive pages by a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "format/Page.h"
#include "jet/Env.h"
#include "util/Background.h"

namespace jet {

class OutputFile {
  public:
    // Every syncEvery bytes written, the file is flushed to disk on a thread
    // of its own while writing goes on (0: only when asked), so that the
    // flush at the end finds little left to do.
    OutputFile(Env& env, int fd, uint32_t databaseKey, std::string path,
               uint64_t syncEvery = kDefaultSyncBytes);
    ~OutputFile();  // what is not written yet no longer matters: the copy is dropped
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Pages are held back in a window of a few megabytes, at their place by
    // page number, and written from it in runs of consecutive pages: pages
    // are finished out of order (rows, long values and indexes fill pages of
    // their own), but close together. A full window is written on a thread
    // of its own while the next one fills. A page before the window (a
    // definition or map written late) is written at once.
    void write(uint32_t number, const Page& page);

    // The calls the copy is written with; files made on its behalf use them too.
    Env& env() const { return env_; }

    // Pages checked as written: writing one again is refused, since the
    // check at the end takes them as checked.
    void seal(const std::vector<uint32_t>& pages);

    void sync() {
        flush();
        fsync();
    }
    // Only the flush to disk of what flush() wrote (may run on another
    // thread). A failed flush on the way fails this one too.
    void fsync();

    // Writes every page held; when it returns, all are in the file.
    void flush();

    // Passes every page held on to be written, without waiting; pages
    // written before are in the file once waitWritten(the number returned)
    // returns, which another thread may call.
    uint64_t handOverAll();
    void waitWritten(uint64_t ticket);

    // Cuts the file to its first `pages` pages (after a flush): pages written
    // past them belonged to something begun again.
    void truncate(uint32_t pages);

    const std::string& path() const { return path_; }

    [[noreturn]] void failWrite(const OsError& err);

  private:
    struct Window {
        std::vector<uint8_t> bytes;
        std::vector<bool> filled;
        std::size_t held = 0;  // pages in the window
        uint32_t base = 0;     // page number of the window's first page
    };

    void hold(uint32_t number, const Page& page);
    void handOver();
    void waitForWrites();
    void throwIfWriteFailed();
    [[noreturn]] void rethrowWriteFailure(std::unique_lock<std::mutex>& lock);
    bool startIo();
    void ioLoop();
    void writeWindow(Window& w);
    void writeRun(uint32_t first, const uint8_t* data, std::size_t size);
    void startSync();

    Env& env_;
    int fd_;
    uint32_t key_;
    std::string path_;
    static constexpr std::size_t kWindowPages = 1024;  // 4 MB
    Window open_;
    std::vector<bool> sealed_;
    // The writing thread and what it shares, under ioMutex_. What else it
    // touches (the counts below, the flushing thread) is touched by the
    // owner only once it is idle (waitForWrites).
    static constexpr std::size_t kQueued = 3;
    std::mutex ioMutex_;
    std::condition_variable ioReady_, ioDone_;
    std::deque<Window> queued_;
    std::vector<Window> spareWindows_;
    bool ioBusy_ = false, ioStop_ = false, noIo_ = false;
    uint64_t handedOver_ = 0, windowsWritten_ = 0;  // windows, for waitWritten
    std::exception_ptr writeFailed_;
    Background io_;
    static constexpr uint64_t kKickBytes = 16u << 20;
    static constexpr uint64_t kDefaultSyncBytes = 32u << 20;
    uint64_t written_ = 0, kicked_ = 0, synced_ = 0;
    uint64_t syncEvery_;
    Background syncer_;  // a flush on the way; its failure is the next flush's
    std::atomic<bool> syncing_{false};
};

}  // namespace jet
