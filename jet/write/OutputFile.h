// The copy being written: pages by number, encoded under their new number
// where the database key asks for it, held in a window of a few megabytes
// and written in runs of consecutive pages by a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <string>
#include <vector>

#include "format/Page.h"
#include "jet/Env.h"
#include "util/Background.h"
#include "util/ThreadSafety.h"

namespace jet {

class OutputFile;

// What follows each run of pages written, by whichever thread wrote it: the
// system is told to start writing them back, and every so often the file is
// flushed to disk on a thread of its own while writing goes on, so that the
// flush at the end finds little left to do.
class WriteBack {
  public:
    static constexpr uint64_t kDefaultEvery = 32u << 20;
    // syncEvery: bytes between flushes on the way (0: none).
    WriteBack(const OutputFile& file, Env& env, int fd, uint64_t syncEvery)
        : file_(file), env_(env), fd_(fd), syncEvery_(syncEvery) {}
    ~WriteBack();
    WriteBack(const WriteBack&) = delete;
    WriteBack& operator=(const WriteBack&) = delete;

    // After a run of 'bytes' was written.
    void wrote(uint64_t bytes) EXCLUDES(mutex_);
    // Waits for a flush on the way; its failure is this call's.
    void wait() EXCLUDES(mutex_);

  private:
    void startSync() REQUIRES(mutex_);

    static constexpr uint64_t kKickBytes = 16u << 20;
    const OutputFile& file_;  // whose failWrite() says what failed
    Env& env_;
    const int fd_;
    const uint64_t syncEvery_;
    Mutex mutex_;
    uint64_t written_ GUARDED_BY(mutex_) = 0;
    uint64_t kicked_ GUARDED_BY(mutex_) = 0;  // written when write-back was last started
    uint64_t synced_ GUARDED_BY(mutex_) = 0;  // written when a flush was last started
    Background syncer_ GUARDED_BY(mutex_);    // a flush on the way; its failure is the next flush's
    std::atomic<bool> syncing_{false};        // set here, cleared by the flushing thread
};

class OutputFile {
  public:
    // Every syncEvery bytes written, the file is flushed to disk on a thread
    // of its own while writing goes on (0: only when asked), so that the
    // flush at the end finds little left to do.
    OutputFile(Env& env, int fd, uint32_t databaseKey, std::string path,
               uint64_t syncEvery = WriteBack::kDefaultEvery);
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

    [[noreturn]] void failWrite(const OsError& err) const;

  private:
    struct Window {
        std::vector<uint8_t> bytes;
        std::vector<bool> filled;
        std::size_t held = 0;  // pages in the window
        uint32_t base = 0;     // page number of the window's first page
    };

    void hold(uint32_t number, const Page& page) REQUIRES(owner_);
    void handOver() REQUIRES(owner_);
    void waitForWrites() EXCLUDES(ioMutex_);
    void throwIfWriteFailed() EXCLUDES(ioMutex_);
    bool startIo() REQUIRES(owner_);
    void ioLoop() EXCLUDES(ioMutex_);
    void writeWindow(Window& w);
    void writeRun(uint32_t first, const uint8_t* data, std::size_t size);

    Env& env_;
    const int fd_;
    const uint32_t key_;
    const std::string path_;
    static constexpr std::size_t kWindowPages = 1024;  // 4 MB
    // The writing thread's owner alone: the window being filled, the pages
    // sealed, and the writing thread itself.
    ThreadRole owner_;
    Window open_ GUARDED_BY(owner_);
    std::vector<bool> sealed_ GUARDED_BY(owner_);
    Background io_ GUARDED_BY(owner_);
    bool noIo_ GUARDED_BY(owner_) = false;  // no thread to spare: the owner writes
    // Between the owner, the writing thread and whoever waits for pages to
    // be written.
    static constexpr std::size_t kQueued = 3;
    Mutex ioMutex_;
    CondVar ioReady_;  // a window queued, or ioStop_
    CondVar ioDone_;   // a window written, or the writing failed or stopped
    std::deque<Window> queued_ GUARDED_BY(ioMutex_);
    std::vector<Window> spareWindows_ GUARDED_BY(ioMutex_);
    bool ioBusy_ GUARDED_BY(ioMutex_) = false;  // a window being written
    bool ioStop_ GUARDED_BY(ioMutex_) = false;
    uint64_t handedOver_ GUARDED_BY(ioMutex_) = 0;  // windows, for waitWritten
    uint64_t windowsWritten_ GUARDED_BY(ioMutex_) = 0;
    std::exception_ptr writeFailed_ GUARDED_BY(ioMutex_);
    WriteBack writeBack_;  // after each run, by whichever thread wrote it
};

}  // namespace jet
