// A queue between two threads, bounded by the bytes it holds.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <utility>

#include "util/ThreadSafety.h"

namespace jet {

// A queue between two threads, bounded by the bytes it holds (an item is
// let in when the queue is empty, however large). cancel() wakes both
// sides for good.
template <typename T>
class Channel {
  public:
    explicit Channel(std::size_t capacity) : capacity_(capacity) {}
    // Waits for room; false when cancelled.
    bool push(T v, std::size_t bytes) EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        while (!items_.empty() && held_ + bytes > capacity_ && !cancelled_) notFull_.wait(mutex_);
        if (cancelled_) return false;
        held_ += bytes;
        items_.emplace_back(std::move(v), bytes);
        notEmpty_.notifyOne();
        return true;
    }
    // Waits for an item; nothing once closed and drained, or cancelled.
    std::optional<T> pop() EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        while (items_.empty() && !closed_ && !cancelled_) notEmpty_.wait(mutex_);
        if (cancelled_ || items_.empty()) return std::nullopt;
        T v = std::move(items_.front().first);
        held_ -= items_.front().second;
        items_.pop_front();
        notFull_.notifyOne();
        return v;
    }
    void close() EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        closed_ = true;
        notEmpty_.notifyAll();
    }
    void cancel() EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        cancelled_ = true;
        notEmpty_.notifyAll();
        notFull_.notifyAll();
    }

  private:
    const std::size_t capacity_;
    Mutex mutex_;
    CondVar notFull_, notEmpty_;  // conditions of what mutex_ guards
    std::deque<std::pair<T, std::size_t>> items_ GUARDED_BY(mutex_);
    std::size_t held_ GUARDED_BY(mutex_) = 0;
    bool closed_ GUARDED_BY(mutex_) = false;
    bool cancelled_ GUARDED_BY(mutex_) = false;
};

}  // namespace jet
