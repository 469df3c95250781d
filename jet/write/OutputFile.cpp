#include "write/OutputFile.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "format/Rc4.h"
#include "util/Failure.h"

namespace jet {

OutputFile::OutputFile(Env& env, int fd, uint32_t databaseKey, std::string path, uint64_t syncEvery)
    : env_(env),
      fd_(fd),
      key_(databaseKey),
      path_(std::move(path)),
      writeBack_(*this, env, fd, syncEvery) {}

OutputFile::~OutputFile() {
    {
        MutexLock lock(ioMutex_);
        ioStop_ = true;
    }
    ioReady_.notifyAll();
    ioDone_.notifyAll();
    io_.join();
}

void OutputFile::write(uint32_t number, const Page& page) {
    owner_.assumeHeld();
    if (number < sealed_.size() && sealed_[number]) {
        fail(ErrorCode::kVerifyFailed, "The compacted copy was removed: page " +
                                           std::to_string(number) +
                                           " was written again after it had been checked.");
    }
    if (number != 0 && key_ != 0) {
        Page encoded = page;
        rc4Page(key_, number, encoded.data(), kPageSize);
        hold(number, encoded);
    } else {
        hold(number, page);
    }
}

void OutputFile::seal(const std::vector<uint32_t>& pages) {
    owner_.assumeHeld();
    for (uint32_t p : pages) {
        if (p >= sealed_.size()) sealed_.resize(std::max<std::size_t>(p + 1, kMaxPages), false);
        sealed_[p] = true;
    }
}

// Touches neither the window nor the writing thread: another thread may
// call it once flush() returned.
void OutputFile::fsync() {
    writeBack_.wait();
    if (OsError e = env_.flush(fd_)) failWrite(e);
}

void OutputFile::flush() {
    owner_.assumeHeld();
    handOver();
    waitForWrites();
}

uint64_t OutputFile::handOverAll() {
    owner_.assumeHeld();
    handOver();
    MutexLock lock(ioMutex_);
    return handedOver_;
}

// Returns early when writing failed or stopped: the copy is dropped then.
void OutputFile::waitWritten(uint64_t ticket) {
    MutexLock lock(ioMutex_);
    while (windowsWritten_ < ticket && !writeFailed_ && !ioStop_) ioDone_.wait(ioMutex_);
}

void OutputFile::truncate(uint32_t pages) {
    flush();
    if (OsError e = env_.setSize(fd_, uint64_t{pages} * kPageSize)) failWrite(e);
}

void OutputFile::failWrite(const OsError& err) const {
    if (err.code == OsErrc::kNoSpace) {
        fail(ErrorCode::kNoSpace, "There is not enough room on the disk to write '" + path_ + "'.");
    }
    fail(ErrorCode::kIo, "Cannot write '" + path_ + "': " + describe(err) + ".");
}

void OutputFile::hold(uint32_t number, const Page& page) {
    if (open_.held == 0) open_.base = number;
    if (number < open_.base) {
        waitForWrites();  // in file order with what went before
        writeRun(number, page.data(), kPageSize);
        return;
    }
    if (number - open_.base >= kWindowPages) {
        handOver();
        open_.base = number;
    }
    if (open_.bytes.empty()) {
        open_.bytes.resize(kWindowPages * kPageSize);
        open_.filled.assign(kWindowPages, false);
    }
    const std::size_t at = number - open_.base;
    std::memcpy(open_.bytes.data() + at * kPageSize, page.data(), kPageSize);
    if (!open_.filled[at]) ++open_.held;
    open_.filled[at] = true;
}

// Gives the open window to the writing thread and opens another. Up to
// kQueued full windows wait there, so that the builder of pages goes on
// while the kernel copies what it built.
void OutputFile::handOver() {
    if (open_.held == 0) {
        throwIfWriteFailed();
        return;
    }
    if (!startIo()) {  // no thread to spare: written here
        writeWindow(open_);
        MutexLock lock(ioMutex_);
        windowsWritten_ = ++handedOver_;
        return;
    }
    {
        MutexLock lock(ioMutex_);
        while (queued_.size() >= kQueued && !writeFailed_) ioDone_.wait(ioMutex_);
        if (writeFailed_) std::rethrow_exception(writeFailed_);  // unlocks on the way out
        ++handedOver_;
        queued_.push_back(std::move(open_));
        if (!spareWindows_.empty()) {
            open_ = std::move(spareWindows_.back());
            spareWindows_.pop_back();
        } else {
            open_ = Window{};
        }
        open_.held = 0;
    }
    ioReady_.notifyOne();
}

// Waits until every window handed over is written; a failure there is this
// call's.
void OutputFile::waitForWrites() {
    MutexLock lock(ioMutex_);
    while (!(queued_.empty() && !ioBusy_) && !writeFailed_) ioDone_.wait(ioMutex_);
    if (writeFailed_) std::rethrow_exception(writeFailed_);  // unlocks on the way out
}

void OutputFile::throwIfWriteFailed() {
    MutexLock lock(ioMutex_);
    if (writeFailed_) std::rethrow_exception(writeFailed_);  // unlocks on the way out
}

bool OutputFile::startIo() {
    if (io_.started()) return true;
    if (noIo_) return false;
    noIo_ = !io_.tryStart([this] { ioLoop(); });
    return !noIo_;
}

// The writing thread: full windows in the order they were handed over.
// After a failure the rest are dropped; the copy is abandoned.
void OutputFile::ioLoop() {
    MutexLock lock(ioMutex_);
    while (true) {
        while (!ioStop_ && queued_.empty()) ioReady_.wait(ioMutex_);
        if (ioStop_) return;
        Window w = std::move(queued_.front());
        queued_.pop_front();
        ioBusy_ = true;
        lock.unlock();
        std::exception_ptr failed;
        try {
            writeWindow(w);
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        ioBusy_ = false;
        ++windowsWritten_;
        if (failed) {
            writeFailed_ = failed;
            queued_.clear();
        } else if (spareWindows_.size() < kQueued) {
            spareWindows_.push_back(std::move(w));
        }
        ioDone_.notifyAll();
    }
}

void OutputFile::writeWindow(Window& w) {
    std::size_t i = 0;
    while (i < kWindowPages) {
        if (!w.filled[i]) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < kWindowPages && w.filled[j]) w.filled[j++] = false;
        writeRun(w.base + static_cast<uint32_t>(i), w.bytes.data() + i * kPageSize,
                 (j - i) * kPageSize);
        i = j;
    }
    w.held = 0;
}

void OutputFile::writeRun(uint32_t first, const uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    const uint64_t at = uint64_t{first} * kPageSize;
    while (done < size) {
        const auto w = env_.writeAt(fd_, data + done, size - done, at + done);
        if (w.error.code == OsErrc::kInterrupted) continue;
        if (!w.ok()) failWrite(w.error);
        if (w.value == 0) failWrite(OsError{OsErrc::kNoSpace, 0});
        done += w.value;
    }
    writeBack_.wrote(size);
}

WriteBack::~WriteBack() { syncer_.join(); }

void WriteBack::wrote(uint64_t bytes) {
    MutexLock lock(mutex_);
    written_ += bytes;
    // Start writing back what is written so far. Only a hint: errors show at
    // the flush.
    if (written_ - kicked_ >= kKickBytes) {
        (void)env_.startWriteBack(fd_);
        kicked_ = written_;
    }
    if (syncEvery_ != 0 && written_ - synced_ >= syncEvery_ && !syncing_) startSync();
}

void WriteBack::wait() {
    MutexLock lock(mutex_);
    syncer_.wait();
}

// Writeback alone leaves the disk's own cache to be emptied at the final
// flush, which then takes about as long as writing the file again; flushing
// on the way spreads that over the copy.
void WriteBack::startSync() {
    syncer_.wait();
    synced_ = written_;
    syncing_ = true;
    const bool started = syncer_.tryStart([this] {
        const OsError err = env_.flush(fd_);
        syncing_ = false;
        if (err) file_.failWrite(err);
    });
    if (!started) syncing_ = false;  // no thread to spare: the final flush does it all
}

}  // namespace jet
