// The Windows implementations of the runtime services the window needs: the
// message box (MessageBoxW), the file-open dialog (GetOpenFileNameW) and the
// window-style layer (the real SetWindowLongA). Window handles travel as
// HWND__*, which is what <windows.h> makes an HWND, so that this header
// needs none of it.
#pragma once

#include <string>

#include "platform/FileDialog.h"
#include "platform/MessageBox.h"
#include "platform/WindowStyle.h"

struct HWND__;

namespace appwin {

using Hwnd = HWND__*;

// A modal box with the critical or information icon and one OK button,
// owned by the active window; an arrow cursor while it shows.
class Win32MessageBox : public platform::MessageBox {
  public:
    void show(const std::string& text, platform::MessageIcon icon,
              const std::string& title) override;
};

// The system's common file-open dialog with the settings it is given;
// cancelled with CancelError set, it raises 32755 as the control does.
class Win32FileDialog : public platform::StoredFileDialog {
  public:
    explicit Win32FileDialog(Hwnd owner = nullptr) : owner_(owner) {}
    void setOwner(Hwnd owner) { owner_ = owner; }
    void ShowOpen() override;

  private:
    Hwnd owner_;
};

// user32's SetWindowLongA itself.
class Win32WindowStyleApi : public platform::WindowStyleApi {
  public:
    int32_t SetWindowLongA(platform::WindowHandle hWnd, int index, int32_t newLong) override;
};

// A button as the form engine exposes it to cButt: its handle, and its
// Visible and TabStop properties, which apply the style bit whatever the
// window's style says meanwhile.
class Win32CommandButton : public platform::CommandButton {
  public:
    explicit Win32CommandButton(Hwnd button) : button_(button) {}
    platform::WindowHandle hWnd() override;
    void setVisible(bool visible) override;
    void setTabStop(bool tabStop) override;

  private:
    Hwnd button_;
};

}  // namespace appwin
