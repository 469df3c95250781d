// Removing registered files when a console program is interrupted on
// Windows: Ctrl+C, Ctrl+Break, the console closed, the user logging off or
// the system shutting down. The system calls the handler on a thread of its
// own; it removes the files and lets the next handler (in the end the
// system's, which ends the process) take its course. Files are named by
// their full path, taken when they are registered.
#include <windows.h>

#include <array>
#include <atomic>
#include <mutex>

#include "jet/WideText.h"
#include "os/Cleanup.h"

namespace jet {

namespace {

constexpr std::size_t kSlots = 64;
constexpr std::size_t kNameMax = 32768;

enum State : int { kFree = 0, kFilling = 1, kReady = 2 };

struct Slot {
    std::atomic<int> state{kFree};
    std::wstring path;
};

std::array<Slot, kSlots> gSlots;
std::once_flag gInstalled;

BOOL WINAPI onConsoleEvent(DWORD) {
    for (Slot& s : gSlots) {
        if (s.state.load(std::memory_order_acquire) == kReady) DeleteFileW(s.path.c_str());
    }
    return FALSE;  // the next handler, in the end the system's
}

// The full path of name in the open folder (or the working folder).
std::wstring fullPath(const std::string& name, FileHandle dirFd) {
    std::wstring wide = widen(name);
    if (dirFd != kWorkingFolder) {
        wchar_t buf[kNameMax];
        const DWORD n = GetFinalPathNameByHandleW(LongToHandle(dirFd), buf, kNameMax,
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0 || n >= kNameMax) return {};
        return std::wstring(buf, n) + L"\\" + wide;
    }
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return {};
    std::wstring full(n, L'\0');
    const DWORD got = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n) return {};
    full.resize(got);
    return full;
}

}  // namespace

RemoveOnSignal::RemoveOnSignal(const std::string& name, FileHandle dirFd) {
    if (name.empty()) return;
    std::wstring path = fullPath(name, dirFd);
    if (path.empty() || path.size() >= kNameMax) return;
    std::call_once(gInstalled, [] { SetConsoleCtrlHandler(onConsoleEvent, TRUE); });
    for (std::size_t i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (!gSlots[i].state.compare_exchange_strong(expected, kFilling, std::memory_order_acq_rel))
            continue;
        gSlots[i].path = std::move(path);
        gSlots[i].state.store(kReady, std::memory_order_release);
        slot_ = static_cast<int>(i);
        return;
    }
}

RemoveOnSignal::~RemoveOnSignal() {
    if (slot_ >= 0)
        gSlots[static_cast<std::size_t>(slot_)].state.store(kFree, std::memory_order_release);
}

}  // namespace jet
