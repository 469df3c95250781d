// The taskbar button's progress: COM on the window's thread, the taskbar
// list made when the shell says the button is, and the steps the worker
// posts shown there.
// clang-format off
#include "app-win32/TaskbarProgress.h"
#include <windows.h>
#include <shobjidl.h>
// clang-format on

namespace appwin {

namespace {
// A step of the progress, posted to the window: wParam ten-thousandths.
constexpr UINT kStep = WM_APP + 1;
}  // namespace

TaskbarProgress::TaskbarProgress()
    : buttonCreated_(RegisterWindowMessageW(L"TaskbarButtonCreated")) {
    // S_FALSE (already a single-threaded apartment) is balanced too.
    comReady_ =
        SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
}

TaskbarProgress::~TaskbarProgress() {
    if (list_) list_->Release();
    if (comReady_) CoUninitialize();
}

bool TaskbarProgress::handle(unsigned message, uintptr_t w, intptr_t) {
    if (buttonCreated_ != 0 && message == buttonCreated_) {
        // Made once; a shell that starts again makes a new button, on which
        // the next step shows.
        if (!list_ && comReady_) {
            void* made = nullptr;
            if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_ITaskbarList3, &made)) &&
                made) {
                list_ = static_cast<ITaskbarList3*>(made);
                if (FAILED(list_->HrInit())) {
                    list_->Release();
                    list_ = nullptr;
                }
            }
        }
        shown_ = false;
        return false;
    }
    if (message != kStep) return false;
    if (active_ && list_ && window_) {
        if (!shown_) list_->SetProgressState(window_, TBPF_NORMAL);
        shown_ = true;
        list_->SetProgressValue(window_, w, kWhole);
    }
    return true;
}

void TaskbarProgress::end() {
    active_ = false;
    if (shown_ && list_ && window_) list_->SetProgressState(window_, TBPF_NOPROGRESS);
    shown_ = false;
}

void TaskbarProgress::progress(const jet::CompactProgress& p) {
    if (!window_) return;
    const uint64_t step = p.pagesToRead == 0 ? 0 : p.pagesRead * kWhole / p.pagesToRead;
    PostMessageW(window_, kStep, static_cast<WPARAM>(step), 0);
}

}  // namespace appwin
