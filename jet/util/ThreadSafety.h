// What two threads share, and how each is safe, in marks clang checks
// (-Wthread-safety): a field GUARDED_BY a mutex is touched only with that
// mutex held; a function that REQUIRES it is called only so. The marks
// expand to nothing for other compilers. std::mutex carries no marks in
// libstdc++, so the engine locks through Mutex and MutexLock below.
//
// A part of a class one thread alone touches is marked GUARDED_BY a
// ThreadRole: no lock stands behind it, but only functions that run in that
// role (REQUIRES it, or say so with assumeHeld()) may touch it.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QW_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QW_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QW_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QW_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QW_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) QW_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) QW_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QW_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) QW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QW_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS QW_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace jet {

class CondVar;

class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }

  private:
    friend class CondVar;
    std::mutex m_;
};

// Holds the mutex for the rest of its scope; unlock() and lock() let it go
// and take it again within that scope.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~MutexLock() RELEASE() {
        if (held_) m_.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() RELEASE() {
        held_ = false;
        m_.unlock();
    }
    void lock() ACQUIRE() {
        m_.lock();
        held_ = true;
    }

  private:
    Mutex& m_;
    bool held_ = true;
};

// A condition of what a Mutex guards. wait() is called with the mutex held,
// in a loop over the condition written out where the analysis sees it:
//     while (!ready_) cv_.wait(mutex_);
class CondVar {
  public:
    void wait(Mutex& m) REQUIRES(m) {
        std::unique_lock<std::mutex> lock(m.m_, std::adopt_lock);
        cv_.wait(lock);
        lock.release();  // still held, by the caller
    }
    void notifyOne() { cv_.notify_one(); }
    void notifyAll() { cv_.notify_all(); }

  private:
    std::condition_variable cv_;
};

// The part of a class that one thread alone touches (see above). Costs
// nothing at run time.
class CAPABILITY("role") ThreadRole {
  public:
    // The rest of the calling scope runs in this role: it is the thread
    // that owns the part, or the part has been handed to it (the thread
    // that had it joined, or not yet started).
    void assumeHeld() const ASSERT_CAPABILITY(this) {}
};

}  // namespace jet
