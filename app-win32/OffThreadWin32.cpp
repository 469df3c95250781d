// The worker thread and the message loop that waits for it.
#include <windows.h>

#include <atomic>
#include <exception>
#include <thread>

#include "app-win32/OffThread.h"
#include "jet/KeySearch.h"

namespace appwin {

namespace {

std::atomic<int> gBusy{0};
HWND gCloseAfter = nullptr;  // the window's thread alone reads and writes it

// A window whose close was asked for while a call ran: closed once it ends.
void closeAfterCall() {
    if (const HWND h = gCloseAfter) {
        gCloseAfter = nullptr;
        if (IsWindow(h)) PostMessageW(h, WM_CLOSE, 0, 0);
    }
}

// Input a person gives: keys, the mouse's buttons and wheel, on the client
// area and on the frame (the close box, the system menu).
bool isInput(UINT m) {
    return (m >= WM_KEYFIRST && m <= WM_KEYLAST) ||
           (m >= WM_MOUSEFIRST && m <= WM_MOUSELAST && m != WM_MOUSEMOVE) ||
           (m >= WM_NCLBUTTONDOWN && m <= WM_NCXBUTTONDBLCLK) || m == WM_CONTEXTMENU;
}

}  // namespace

bool offThreadBusy() { return gBusy.load() > 0; }

void closeWhenDone(HWND window) {
    if (jet::stopKeySearches()) gCloseAfter = window;
}

void runOffThread(const std::function<void()>& work) {
    std::exception_ptr failure;
    std::atomic<bool> done{false};
    const DWORD waiting = GetCurrentThreadId();
    ++gBusy;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
        // Wakes the loop below, even if the work ended before it started.
        PostThreadMessageW(waiting, WM_NULL, 0, 0);
    });
    MSG msg;
    while (!done.load()) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {  // WM_QUIT: taken again once the work is done
            PostQuitMessage(static_cast<int>(msg.wParam));
            worker.join();
            --gBusy;
            if (failure) std::rethrow_exception(failure);
            return;
        }
        if (got < 0 || isInput(msg.message)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    worker.join();
    --gBusy;
    closeAfterCall();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace appwin
