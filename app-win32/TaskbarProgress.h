// The compaction's progress on the window's taskbar button (Windows 7 and
// later): the engine tells it on the thread that runs the compaction, which
// posts each step to the window; the window's thread shows it through the
// shell's taskbar list, made once the button is (the message the shell
// registers as "TaskbarButtonCreated"). Where the system has no taskbar list
// (Windows before 7, a system without the shell, Wine), nothing is shown
// and nothing else changes. The window's own layout stays as it is.
#pragma once

#include <cstdint>

#include "jet/Compact.h"

struct HWND__;  // HWND, without windows.h and its macros
struct ITaskbarList3;

namespace appwin {

class TaskbarProgress : public jet::CompactWatch {
  public:
    // On the window's thread, which it makes a single-threaded COM
    // apartment for as long as it lives (where nothing made it another).
    TaskbarProgress();
    ~TaskbarProgress() override;
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;

    // The window whose button shows the progress; before any compaction.
    void attach(HWND__* window) { window_ = window; }
    // The window's thread: a message of the window's that is this one's
    // (the button made, a step posted) is handled here, and true returned.
    bool handle(unsigned message, uintptr_t w, intptr_t l);
    // The window's thread: the button's progress from a command's start to
    // its end; steps posted outside are dropped.
    void begin() { active_ = true; }
    void end();

    // The thread that runs the compaction: the step posted to the window.
    void progress(const jet::CompactProgress& p) override;

  private:
    // A step as the message carries it: ten-thousandths of the whole.
    static constexpr uint32_t kWhole = 10000;

    HWND__* window_ = nullptr;  // set before any compaction starts, then only read
    // The window's thread alone touches these.
    const unsigned buttonCreated_;
    bool comReady_ = false;
    ITaskbarList3* list_ = nullptr;
    bool active_ = false;
    bool shown_ = false;
};

}  // namespace appwin
