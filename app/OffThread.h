// The Qt window's runner for long platform calls (compaction/OffThread.h):
// the call runs on a worker thread while the window's thread waits in a
// local event loop that drops the user's input, so the window keeps
// repainting and answering the desktop, yet accepts no other command
// (clicks, keys and close requests made meanwhile are dropped, not delivered
// later), and a wait cursor set by the caller stays.
#pragma once

#include <functional>

namespace app {

// Runs work on a new thread and returns when it has finished, servicing the
// calling thread's other events meanwhile and dropping user input. Rethrows
// what work threw.
void runOffThread(const std::function<void()>& work);

}  // namespace app
