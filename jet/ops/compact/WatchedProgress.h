// How far a compaction's copy has come, as the caller's watch is told it:
// the pages of the source the reader has read, as its batches carry them,
// told on the copier's thread (the caller's), a few times a second at most.
#pragma once

#include <chrono>
#include <cstdint>

#include "jet/Compact.h"

namespace jet {

class WatchedProgress {
  public:
    void watch(CompactWatch* watch) { watch_ = watch; }

    // The pass begins: 0 of total told.
    void begin(uint64_t total) {
        if (!watch_) return;
        started_ = Clock::now();
        next_ = started_ + kInterval;
        told_ = {};
        told_.pagesToRead = total;
        tell();
    }
    // A batch came with the reader's count: told when it grew and a while
    // has passed since the last time (the clock read at most once a batch,
    // a megabyte or 256 rows).
    void reached(uint64_t pagesRead) {
        if (!watch_ || pagesRead <= told_.pagesRead) return;
        const Clock::time_point now = Clock::now();
        if (now < next_) return;
        next_ = now + kInterval;
        told_.pagesRead = pagesRead < told_.pagesToRead ? pagesRead : told_.pagesToRead;
        tell(now);
    }
    // Every page was read: the whole told, unless it was already.
    void end() {
        if (!watch_ || (told_.pagesRead == told_.pagesToRead && told_.pagesRead != 0)) return;
        told_.pagesRead = told_.pagesToRead;
        tell();
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kInterval{200};

    void tell(Clock::time_point now = Clock::now()) {
        told_.seconds = std::chrono::duration<double>(now - started_).count();
        watch_->progress(told_);
    }

    CompactWatch* watch_ = nullptr;
    CompactProgress told_;
    Clock::time_point started_, next_;
};

}  // namespace jet
