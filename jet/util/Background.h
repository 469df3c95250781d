// Work on a thread of its own whose failure comes back to the thread that
// waits for it. What the work throws is kept, and wait() throws it again;
// a Background destroyed while its work runs waits for it first (a failure
// then goes unsaid: whoever destroys it early is failing already).
#pragma once

#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "util/ThreadSafety.h"

namespace jet {

class Background {
  public:
    Background() = default;
    ~Background() { join(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Starts the work; throws std::system_error when the system has no
    // thread to spare. One piece of work at a time: wait() or join() first.
    void start(std::function<void()> work) {
        owning_.assumeHeld();
        thread_ = std::thread([this, work = std::move(work)] {
            working_.assumeHeld();  // the work's own thread
            try {
                work();
            } catch (...) {
                failed_ = std::current_exception();
            }
        });
    }
    // The same, but false instead of throwing when there is no thread to
    // spare: the caller does the work itself, or goes without it.
    bool tryStart(std::function<void()> work) {
        try {
            start(std::move(work));
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }
    bool started() const {
        owning_.assumeHeld();
        return thread_.joinable();
    }

    // Waits for the work to end; what it threw stays for wait().
    void join() {
        owning_.assumeHeld();
        if (thread_.joinable()) thread_.join();
    }
    // Waits for the work to end and throws what it threw, if anything.
    void wait() {
        join();
        working_.assumeHeld();  // joined: what the work left is this thread's
        if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
    }

  private:
    // The owner's: every call but the work's own is made by one thread at a
    // time, the one that owns this (or holds the lock it lives under).
    ThreadRole owning_;
    std::thread thread_ GUARDED_BY(owning_);
    // Set by the work's thread, read by the owner once it is joined.
    ThreadRole working_;
    std::exception_ptr failed_ GUARDED_BY(working_);
};

}  // namespace jet
