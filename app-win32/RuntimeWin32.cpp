// The runtime services of the Windows window.
// clang-format off
// The platform's classes are declared before <windows.h>,
// whose MessageBox macro would rename them.
#include "app-win32/Runtime.h"
#include <windows.h>
#undef MessageBox
#include <commdlg.h>
// clang-format on

#include <vector>

#include "jet/WideText.h"
#include "platform/ErrorRecord.h"

namespace appwin {

void Win32MessageBox::show(const std::string& text, platform::MessageIcon icon,
                           const std::string& title) {
    const UINT kind = icon == platform::MessageIcon::kCritical ? MB_ICONERROR : MB_ICONINFORMATION;
    // A wait cursor set by the caller is not for the message.
    HCURSOR before = SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    MessageBoxW(GetActiveWindow(), jet::widen(text).c_str(), jet::widen(title).c_str(),
                MB_OK | kind | MB_SETFOREGROUND);
    SetCursor(before);
}

namespace {

// "desc|pattern|" as the dialog takes it: pairs of strings, each ended by a
// zero, and a zero after the last.
std::wstring filterOf(const std::string& filter) {
    std::wstring out;
    for (const auto& f : platform::parseFilter(filter)) {
        out += jet::widen(f.description);
        out.push_back(L'\0');
        out += jet::widen(f.patterns);
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

}  // namespace

void Win32FileDialog::ShowOpen() {
    std::vector<wchar_t> file(32768, L'\0');
    const std::wstring name = jet::widen(fileName_);
    const std::size_t n = std::min<std::size_t>(name.size(), file.size() - 1);
    std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(n), file.begin());
    const std::wstring filter = filterOf(filter_);
    const std::wstring dir = jet::widen(initDir_);
    const std::wstring title = jet::widen(title_);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner_ ? owner_ : GetActiveWindow();
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = dir.empty() ? nullptr : dir.c_str();
    ofn.lpstrTitle = title.empty() ? nullptr : title.c_str();
    // The control's flags, in the Explorer-style dialog; the working folder
    // stays where it was.
    ofn.Flags = static_cast<DWORD>(flags_) | OFN_EXPLORER | OFN_NOCHANGEDIR;
    if (GetOpenFileNameW(&ofn)) {
        fileName_ = jet::narrow(file.data());
        return;
    }
    const DWORD err = CommDlgExtendedError();
    if (err == 0) {
        if (cancelError_)
            platform::raise(platform::kCancelError, "Cancel was selected.", "CommonDialog");
        return;
    }
    platform::raise(platform::kPathFileAccessError,
                    "The file dialog could not be shown (error " + std::to_string(err) + ").",
                    "CommonDialog");
}

int32_t Win32WindowStyleApi::SetWindowLongA(platform::WindowHandle hWnd, int index,
                                            int32_t newLong) {
    return static_cast<int32_t>(::SetWindowLongA(reinterpret_cast<HWND>(hWnd), index, newLong));
}

platform::WindowHandle Win32CommandButton::hWnd() {
    return reinterpret_cast<platform::WindowHandle>(button_);
}

void Win32CommandButton::setVisible(bool visible) {
    // The frame and face are drawn again for the style now in force.
    SetWindowPos(button_, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    ShowWindow(button_, visible ? SW_SHOWNA : SW_HIDE);
    InvalidateRect(button_, nullptr, TRUE);
}

void Win32CommandButton::setTabStop(bool tabStop) {
    LONG style = GetWindowLongW(button_, GWL_STYLE);
    style = tabStop ? (style | WS_TABSTOP) : (style & ~static_cast<LONG>(WS_TABSTOP));
    SetWindowLongW(button_, GWL_STYLE, style);
}

}  // namespace appwin
