// Removing registered files on a signal, for POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "os/Cleanup.h"

namespace jet {

namespace {

constexpr std::size_t kSlots = 64;
constexpr std::size_t kNameMax = 4096;
// Interrupts, and what ends a run that meets a resource limit or a stray
// signal from a script. Only the first three are passed on to a handler the
// program installed before; the others are taken over only while they still
// have their default action.
constexpr std::array<int, 9> kSignals = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGXFSZ,
                                         SIGXCPU, SIGUSR1, SIGUSR2, SIGALRM};
constexpr std::size_t kChained = 3;

enum State : int { kFree = 0, kFilling = 1, kReady = 2 };

// Read by the handler without locks: a slot's name and folder are written
// before its state becomes kReady, and the state is set back to kFree before
// they change again.
struct Slot {
    std::atomic<int> state{kFree};
    int dirFd = AT_FDCWD;
    char name[kNameMax] = {};
};

Slot gSlots[kSlots];
struct sigaction gPrevious[kSignals.size()];
std::once_flag gInstalled;

void removeAll() {
    for (Slot& s : gSlots) {
        if (s.state.load(std::memory_order_acquire) == kReady) ::unlinkat(s.dirFd, s.name, 0);
    }
}

void onSignal(int sig, siginfo_t* info, void* context) {
    const int saved = errno;
    removeAll();
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        if (kSignals[i] != sig) continue;
        const struct sigaction& prev = gPrevious[i];
        if ((prev.sa_flags & SA_SIGINFO) != 0 && prev.sa_sigaction != nullptr) {
            errno = saved;
            prev.sa_sigaction(sig, info, context);
            return;
        }
        if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
            errno = saved;
            prev.sa_handler(sig);
            return;
        }
    }
    // The default action: end the process by the same signal.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    ::raise(sig);
    errno = saved;
}

void install() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction prev {};
        if (::sigaction(kSignals[i], nullptr, &prev) != 0) continue;
        gPrevious[i] = prev;
        if ((prev.sa_flags & SA_SIGINFO) == 0 && prev.sa_handler == SIG_IGN) continue;
        if (i >= kChained && ((prev.sa_flags & SA_SIGINFO) != 0 || prev.sa_handler != SIG_DFL))
            continue;
        struct sigaction act {};
        act.sa_sigaction = onSignal;
        act.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&act.sa_mask);
        for (int other : kSignals) sigaddset(&act.sa_mask, other);
        ::sigaction(kSignals[i], &act, nullptr);
    }
}

}  // namespace

RemoveOnSignal::RemoveOnSignal(const std::string& name, FileHandle dirFd) {
    if (name.empty() || name.size() >= kNameMax) return;
    std::call_once(gInstalled, install);
    for (std::size_t i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (!gSlots[i].state.compare_exchange_strong(expected, kFilling, std::memory_order_acq_rel))
            continue;
        gSlots[i].dirFd = dirFd;
        std::memcpy(gSlots[i].name, name.c_str(), name.size() + 1);
        gSlots[i].state.store(kReady, std::memory_order_release);
        slot_ = static_cast<int>(i);
        return;
    }
}

RemoveOnSignal::~RemoveOnSignal() {
    if (slot_ >= 0) gSlots[slot_].state.store(kFree, std::memory_order_release);
}

}  // namespace jet
