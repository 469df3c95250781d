// The Windows window's runner for long platform calls
// (compaction/OffThread.h), the same worker thread as the Qt window's: the
// call runs on a thread of its own while the window's thread goes on taking
// its messages, so the window keeps painting, but drops the user's clicks,
// keys and close requests meanwhile (they are not delivered later).
#pragma once

#include <functional>

struct HWND__;  // HWND, without windows.h and its macros

namespace appwin {

void runOffThread(const std::function<void()>& work);

// Whether a call is running off the window's thread now.
bool offThreadBusy();
// A close asked for while a call runs: a search for a lost key, which takes
// minutes, is stopped, and the window is sent WM_CLOSE again once the call
// has ended (other calls end soon, and the close is dropped).
void closeWhenDone(HWND__* window);

}  // namespace appwin
