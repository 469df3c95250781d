#include "format/KeySearch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
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

// Whether page 2's head reads, under the file's key, as the catalogue's
// definition begins.
bool headReads(const PageHead& stored, uint32_t fileKey) {
    PageHead h = stored;
    rc4Page(fileKey, 2, h.data(), h.size());
    uint32_t constant = 0;
    for (int k = 3; k >= 0; --k)
        constant = constant << 8 | h[kTdefConstant + static_cast<unsigned>(k)];
    return h[0] == kPageTableDef && h[1] == 0x01 && constant == kTdefMagic;
}

}  // namespace

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
            if (z[l] == want && headReads(storedPage2, key)) out.push_back(key);
        }
    }
    for (; done < count; ++done) {
        if (headReads(storedPage2, first + done)) out.push_back(first + done);
    }
}

KeySearchOutcome searchPageKey(const PageHead& storedPage2, const KeySearchRange& range,
                               const std::function<bool(uint32_t)>& confirm,
                               KeySearchWatch* watch) {
    using Clock = std::chrono::steady_clock;
    const auto began = Clock::now();
    const uint64_t total = std::min(range.count, kEveryKey);
    const uint32_t stopsBefore = gStops.load();
    gRunning.fetch_add(1);
    struct Shared {
        std::atomic<uint64_t> next{0};
        std::atomic<uint64_t> tried{0};
        std::atomic<bool> over{false};
        std::mutex m;  // held while a key is confirmed; guards what follows
        std::condition_variable changed;
        bool found = false;
        uint32_t key = 0;
        std::exception_ptr failure;
        unsigned finished = 0;
    } sh;
    const auto seconds = [&] {
        return std::chrono::duration<double>(Clock::now() - began).count();
    };
    bool stopped = false;
    // Tells the watch how far, and takes a stop; on the calling thread only.
    const auto look = [&] {
        if (watch) {
            watch->searching(sh.tried.load(), total, seconds());
            if (watch->stopRequested()) stopped = true;
        }
        if (gStops.load() != stopsBefore) stopped = true;
        if (stopped) sh.over = true;
    };
    bool alone = false;  // no thread could be started: the caller searches and looks
    auto work = [&] {
        try {
            std::vector<uint32_t> hits;
            while (!sh.over.load(std::memory_order_relaxed)) {
                const uint64_t at = sh.next.fetch_add(kChunk);
                if (at >= total) break;
                const auto n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, total - at));
                hits.clear();
                keysReadingPage2(storedPage2, range.first + static_cast<uint32_t>(at), n, hits);
                for (const uint32_t key : hits) {
                    std::lock_guard<std::mutex> lock(sh.m);
                    if (sh.over) break;
                    try {
                        if (confirm(key)) {
                            sh.found = true;
                            sh.key = key;
                            sh.over = true;
                        }
                    } catch (...) {
                        sh.failure = std::current_exception();
                        sh.over = true;
                    }
                }
                sh.tried.fetch_add(n);
                if (alone) look();
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(sh.m);
            if (!sh.failure) sh.failure = std::current_exception();
            sh.over = true;
        }
        std::lock_guard<std::mutex> lock(sh.m);
        ++sh.finished;
        sh.changed.notify_all();
    };

    unsigned wanted = range.threads != 0 ? range.threads : std::thread::hardware_concurrency();
    wanted = static_cast<unsigned>(
        std::clamp<uint64_t>((total + kChunk - 1) / kChunk, 1, std::max(wanted, 1u)));
    std::vector<std::thread> threads;
    threads.reserve(wanted);
    for (unsigned t = 0; t < wanted; ++t) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // as many as the system gives
        }
    }
    if (threads.empty()) {
        alone = true;
        work();
    } else {
        std::unique_lock<std::mutex> lock(sh.m);
        while (sh.finished < threads.size()) {
            sh.changed.wait_for(lock, std::chrono::milliseconds(200));
            lock.unlock();
            try {
                look();
            } catch (...) {  // the watch's own failure ends the search, and is thrown
                sh.over = true;
                lock.lock();
                if (!sh.failure) sh.failure = std::current_exception();
                continue;
            }
            lock.lock();
        }
    }
    for (auto& t : threads) t.join();
    gRunning.fetch_sub(1);
    if (sh.failure) std::rethrow_exception(sh.failure);
    KeySearchOutcome out;
    out.tried = sh.tried.load();
    out.seconds = seconds();
    if (sh.found) {
        out.end = KeySearchEnd::kFound;
        out.key = sh.key;
    } else if (stopped || out.tried < total) {
        out.end = KeySearchEnd::kStopped;
    }
    if (watch) watch->searching(out.tried, total, out.seconds);
    return out;
}

}  // namespace jet
