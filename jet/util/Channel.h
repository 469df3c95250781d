// A queue between two threads, bounded by the bytes it holds.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace jet {

// A queue between two threads, bounded by the bytes it holds (an item is
// let in when the queue is empty, however large). cancel() wakes both
// sides for good.
template <typename T>
class Channel {
  public:
    explicit Channel(std::size_t capacity) : capacity_(capacity) {}
    // Waits for room; false when cancelled.
    bool push(T v, std::size_t bytes) {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock,
                      [&] { return items_.empty() || held_ + bytes <= capacity_ || cancelled_; });
        if (cancelled_) return false;
        held_ += bytes;
        items_.emplace_back(std::move(v), bytes);
        notEmpty_.notify_one();
        return true;
    }
    // Waits for an item; nothing once closed and drained, or cancelled.
    std::optional<T> pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [&] { return !items_.empty() || closed_ || cancelled_; });
        if (cancelled_ || items_.empty()) return std::nullopt;
        T v = std::move(items_.front().first);
        held_ -= items_.front().second;
        items_.pop_front();
        notFull_.notify_one();
        return v;
    }
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        notEmpty_.notify_all();
    }
    void cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        notEmpty_.notify_all();
        notFull_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable notFull_, notEmpty_;
    std::deque<std::pair<T, std::size_t>> items_;
    std::size_t capacity_;
    std::size_t held_ = 0;
    bool closed_ = false, cancelled_ = false;
};

}  // namespace jet
