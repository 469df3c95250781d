// The search for a lost page-encoding key. An encoded file keeps the key its
// pages are scrambled with only in its header; when the header is lost, the
// compaction tries every key of 32 bits against what the first pages must
// hold. That takes minutes, so whoever asks for it can watch it and stop it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace jet {

// Every key there is.
inline constexpr uint64_t kEveryKey = uint64_t{1} << 32;

// Told how far a search has come; asked whether to stop. Called only on the
// thread that asked for the compaction, a few times a second while a search
// runs, never otherwise.
class KeySearchWatch {
  public:
    virtual ~KeySearchWatch() = default;
    // tried of total keys, in seconds since the search began.
    virtual void searching(uint64_t tried, uint64_t total, double seconds) = 0;
    virtual bool stopRequested() { return false; }
};

// Which keys a search tries: count keys from first on (wrapping past
// 0xFFFFFFFF), on every core unless threads says how many. A caller that
// knows more of the key than nothing narrows it.
struct KeySearchRange {
    uint32_t first = 0;
    uint64_t count = kEveryKey;
    unsigned threads = 0;
};

// How a compaction has again the key of an encoded file whose header is
// lost: the key given (as an earlier run reported it), else a search of the
// range, watched by watch. Where the header still holds a key, none of this
// is used but the key given, tried where the header's own does not read.
struct LostKey {
    std::optional<uint32_t> key = std::nullopt;
    KeySearchRange range = {};
    KeySearchWatch* watch = nullptr;
};

// A key as it is reported and given back (--key): 8 hexadecimal digits.
std::string keyText(uint32_t key);

// Ends every key search running in this process; each ends as though it were
// stopped by its watch, and its compaction fails with kStopped, having
// written nothing. Returns whether one was running. Safe in a signal handler.
bool stopKeySearches();

}  // namespace jet
