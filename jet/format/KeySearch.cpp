#include "format/KeySearch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "format/Page.h"
#include "format/Rc4.h"
#include "format/TableDef.h"

namespace jet {

namespace {

// Searches stopped by stopKeySearches(): each remembers the count it began
// under. Lock-free, so a signal handler may move it.
std::atomic<uint32_t> gStops{0};
std::atomic<int> gRunning{0};

// Keys tried at once. RC4's key schedule is a chain of dependent loads and
// stores; eight independent schedules interleaved keep the core busy while
// each waits (measured on one core of a 2.8 GHz Xeon: 1.3 million keys a
// second one at a time, 6 million eight at a time).
constexpr int kLanes = 8;
// Keys a thread takes at a time: some milliseconds of work, so a stop is
// seen at once and the threads end together.
constexpr uint32_t kChunk = 1u << 16;

struct Identity {
    alignas(64) uint8_t s[256];
    Identity() {
        for (int k = 0; k < 256; ++k) s[k] = static_cast<uint8_t>(k);
    }
};
const Identity kIdentity;

// One step of the key schedule, for every lane: i + q, with byte q of each
// key (bytes[q][lane]).
template <unsigned q>
inline void scheduleStep(uint8_t (&s)[kLanes][256], unsigned (&j)[kLanes],
                         const uint8_t (&bytes)[4][kLanes], unsigned i) {
#pragma GCC unroll 8
    for (int l = 0; l < kLanes; ++l) {
        const uint8_t a = s[l][i + q];
        j[l] = (j[l] + a + bytes[q][l]) & 0xFF;
        s[l][i + q] = s[l][j[l]];
        s[l][j[l]] = a;
    }
}

// The first byte of the keystream each of the RC4 keys gives. The key's
// byte for a step is known at compile time (the step's place mod 4), and
// the lanes are unrolled: 1.7 times as fast as loops GCC leaves rolled.
void firstBytes(const uint32_t (&keys)[kLanes], uint8_t (&out)[kLanes]) {
    alignas(64) uint8_t s[kLanes][256];
    for (auto& lane : s) std::memcpy(lane, kIdentity.s, sizeof lane);
    uint8_t bytes[4][kLanes];
    for (int l = 0; l < kLanes; ++l) {
        for (int q = 0; q < 4; ++q) bytes[q][l] = static_cast<uint8_t>(keys[l] >> (8 * q));
    }
    unsigned j[kLanes] = {};
    for (unsigned i = 0; i < 256; i += 4) {
        scheduleStep<0>(s, j, bytes, i);
        scheduleStep<1>(s, j, bytes, i);
        scheduleStep<2>(s, j, bytes, i);
        scheduleStep<3>(s, j, bytes, i);
    }
    // The first step of the stream: i = 1, j = s[1], the two swapped.
    for (int l = 0; l < kLanes; ++l) {
        const uint8_t a = s[l][1];
        const uint8_t b = s[l][a];
        s[l][1] = b;
        s[l][a] = a;
        out[l] = s[l][static_cast<uint8_t>(a + b)];
    }
}

}  // namespace

bool page2HeadReads(const PageHead& stored, uint32_t fileKey) {
    PageHead h = stored;
    rc4Page(fileKey, 2, h.data(), h.size());
    uint32_t constant = 0;
    for (int k = 3; k >= 0; --k)
        constant = constant << 8 | h[kTdefConstant + static_cast<unsigned>(k)];
    return h[0] == kPageTableDef && h[1] == 0x01 && constant == kTdefMagic;
}

std::string keyText(uint32_t key) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", key);
    return text;
}

bool stopKeySearches() {
    gStops.fetch_add(1);
    return gRunning.load() > 0;
}

void keysReadingPage2(const PageHead& storedPage2, uint32_t first, uint32_t count,
                      std::vector<uint32_t>& out) {
    const uint8_t want = storedPage2[0] ^ kPageTableDef;
    uint32_t done = 0;
    for (; count - done >= kLanes; done += kLanes) {
        uint32_t keys[kLanes];
        for (int l = 0; l < kLanes; ++l) keys[l] = (first + done + static_cast<uint32_t>(l)) ^ 2u;
        uint8_t z[kLanes];
        firstBytes(keys, z);
        for (int l = 0; l < kLanes; ++l) {
            const uint32_t key = first + done + static_cast<uint32_t>(l);
            if (z[l] == want && page2HeadReads(storedPage2, key)) out.push_back(key);
        }
    }
    for (; done < count; ++done) {
        if (page2HeadReads(storedPage2, first + done)) out.push_back(first + done);
    }
}

namespace {

// One search: the threads that try keys, and the calling thread that
// watches them.
class Search {
  public:
    Search(const PageHead& stored, const KeySearchRange& range,
           const std::function<bool(uint32_t)>& confirm, KeySearchWatch* watch)
        : stored_(stored),
          range_(range),
          total_(std::min(range.count, kEveryKey)),
          confirm_(confirm),
          watch_(watch) {}

    KeySearchOutcome run() {
        unsigned wanted =
            range_.threads != 0 ? range_.threads : std::thread::hardware_concurrency();
        wanted = static_cast<unsigned>(
            std::clamp<uint64_t>((total_ + kChunk - 1) / kChunk, 1, std::max(wanted, 1u)));
        std::vector<std::thread> threads;
        threads.reserve(wanted);
        for (unsigned t = 0; t < wanted; ++t) {
            try {
                threads.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;  // as many as the system gives
            }
        }
        if (threads.empty()) {
            alone_ = true;
            work();
        } else {
            watchUntilDone(threads.size());
        }
        for (auto& t : threads) t.join();
        if (failure_) std::rethrow_exception(failure_);
        KeySearchOutcome out;
        out.tried = tried_.load();
        out.seconds = seconds();
        if (found_) {
            out.end = KeySearchEnd::kFound;
            out.key = key_;
        } else if (stopped_ || out.tried < total_) {
            out.end = KeySearchEnd::kStopped;
        }
        if (watch_) watch_->searching(out.tried, total_, out.seconds);
        return out;
    }

  private:
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    }

    // Takes chunks of keys until they run out or the search is over. What
    // fails (confirm, or the watch where this thread is the only one) ends
    // the search and is thrown by run().
    void work() {
        try {
            std::vector<uint32_t> hits;
            while (!over_.load(std::memory_order_relaxed)) {
                const uint64_t at = next_.fetch_add(kChunk);
                if (at >= total_) break;
                const auto n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, total_ - at));
                hits.clear();
                keysReadingPage2(stored_, range_.first + static_cast<uint32_t>(at), n, hits);
                for (const uint32_t key : hits) {
                    std::lock_guard<std::mutex> lock(m_);
                    if (over_) break;
                    if (confirm_(key)) {
                        found_ = true;
                        key_ = key;
                        over_ = true;
                    }
                }
                tried_.fetch_add(n);
                if (alone_) look();
            }
        } catch (...) {
            failed(std::current_exception());
        }
        std::lock_guard<std::mutex> lock(m_);
        ++finished_;
        changed_.notify_all();
    }

    // On the calling thread: the watch told how far a few times a second,
    // until every thread has finished.
    void watchUntilDone(std::size_t threads) {
        std::unique_lock<std::mutex> lock(m_);
        while (finished_ < threads) {
            changed_.wait_for(lock, std::chrono::milliseconds(200));
            lock.unlock();
            try {
                look();
            } catch (...) {
                failed(std::current_exception());
            }
            lock.lock();
        }
    }

    // Tells the watch how far, and takes a stop from it or stopKeySearches().
    void look() {
        if (watch_) {
            watch_->searching(tried_.load(), total_, seconds());
            if (watch_->stopRequested()) stopped_ = true;
        }
        if (gStops.load() != stopsBefore_) stopped_ = true;
        if (stopped_) over_ = true;
    }

    void failed(std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(m_);
        if (!failure_) failure_ = std::move(e);
        over_ = true;
    }

    const PageHead& stored_;
    const KeySearchRange& range_;
    const uint64_t total_;
    const std::function<bool(uint32_t)>& confirm_;
    KeySearchWatch* const watch_;
    const std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
    const uint32_t stopsBefore_ = gStops.load();
    bool alone_ = false;    // no thread could be started: the caller tries keys and looks
    bool stopped_ = false;  // the calling thread's alone
    std::atomic<uint64_t> next_{0};
    std::atomic<uint64_t> tried_{0};
    std::atomic<bool> over_{false};
    std::mutex m_;  // held while a key is confirmed; guards what follows
    std::condition_variable changed_;
    bool found_ = false;
    uint32_t key_ = 0;
    std::exception_ptr failure_;
    std::size_t finished_ = 0;
};

}  // namespace

KeySearchOutcome searchPageKey(const PageHead& storedPage2, const KeySearchRange& range,
                               const std::function<bool(uint32_t)>& confirm,
                               KeySearchWatch* watch) {
    gRunning.fetch_add(1);
    struct Running {
        ~Running() { gRunning.fetch_sub(1); }
    } running;
    return Search(storedPage2, range, confirm, watch).run();
}

}  // namespace jet
