// The native window's layout at the window's DPI: the design's twips as
// pixels at 96 and at 144 DPI, its fonts in points, its picture the icon's
// image for the size, and the whole laid out again when the system says the
// DPI changed (a move to another monitor). Windows' own window manager
// draws it in-process, so Wine needs no display here.
// clang-format off
// The project's headers come before <windows.h>, whose macros (MessageBox,
// GWL_STYLE, WS_CHILD, BS_FLAT) would rename what they declare.
#include <gtest/gtest.h>
#include "app-win32/Main.h"
#include "app-win32/Runtime.h"
#include "platform/doubles/Doubles.h"
#include <windows.h>
#undef MessageBox
// clang-format on

namespace {

struct Window {
    platform::doubles::RecordingMessageBox box;
    platform::RealFileSystem files;
    platform::doubles::FixedNumberFormat numbers;
    platform::doubles::ScriptedEngineFactory engines;
    appwin::Win32FileDialog comDlg;
    appwin::Win32WindowStyleApi style;
    appwin::WindowServices services{{box, files, numbers, engines}, comDlg, style, "C:\\"};
    appwin::Main main{services};
    Window() {
        main.create();
        main.Form_Load();
    }
    HWND window() const { return main.window(); }
    HWND control(const wchar_t* cls, const wchar_t* text) const {
        return FindWindowExW(window(), nullptr, cls, text);
    }
    // Where a control lies in the window's client area, and its size.
    RECT placeOf(HWND c) const {
        RECT r{};
        GetWindowRect(c, &r);
        MapWindowPoints(HWND_DESKTOP, window(), reinterpret_cast<POINT*>(&r), 2);
        return {r.left, r.top, r.right - r.left, r.bottom - r.top};
    }
    SIZE client() const {
        RECT r{};
        GetClientRect(window(), &r);
        return {r.right, r.bottom};
    }
    LONG fontHeight(HWND c) const {
        LOGFONTW f{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0)), sizeof f, &f);
        return f.lfHeight;
    }
    LONG pictureSide() const {
        const HWND image = control(L"STATIC", nullptr);
        ICONINFO info{};
        if (!GetIconInfo(reinterpret_cast<HICON>(SendMessageW(image, STM_GETICON, 0, 0)), &info))
            return 0;
        BITMAP b{};
        GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof b, &b);
        if (info.hbmColor) DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        return b.bmWidth;
    }
    void dpiChanged(int dpi) {
        RECT suggested{};
        GetWindowRect(window(), &suggested);
        SendMessageW(window(), 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
    }
};

}  // namespace

// For the comparisons below (found by argument-dependent lookup).
static bool operator==(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
static std::ostream& operator<<(std::ostream& o, const RECT& r) {
    return o << r.left << "," << r.top << " " << r.right << "x" << r.bottom;
}

TEST(Win32Window, IsLaidOutFromTheDesignsTwipsAtEachDpiItIsGiven) {
    Window w;
    const HWND compact = w.control(L"BUTTON", L"Compact and Repair");
    const HWND exitButton = w.control(L"BUTTON", L"Exit");
    const HWND browse = w.control(L"BUTTON", L"..");
    const HWND frame = w.control(L"BUTTON", L" Select the DBASE : ");
    const HWND path = w.control(L"EDIT", nullptr);
    ASSERT_TRUE(w.window());
    ASSERT_TRUE(compact && exitButton && browse && frame && path)
        << compact << " " << exitButton << " " << browse << " " << frame << " " << path;
    struct Expected {
        int dpi;
        SIZE client;
        RECT compact, exitButton, browse, path;  // left, top, width, height
        LONG frameFont, browseFont, windowFont;
        LONG picture;
    };
    // Twips / 15 at 96 DPI, / 10 at 144, a half rounded down; fonts of 8.25,
    // 9.75 and 8 points.
    const Expected sizes[] = {
        {144,
         {832, 157},
         {120, 108, 181, 38},
         {696, 108, 121, 38},
         {756, 48, 37, 25},
         {144, 48, 601, 28},
         -17,
         -20,
         -16,
         48},
        {96,
         {555, 105},
         {80, 72, 121, 25},
         {464, 72, 81, 25},
         {504, 32, 25, 17},
         {96, 32, 401, 19},
         -11,
         -13,
         -11,
         32},
    };
    for (const Expected& e : sizes) {
        SCOPED_TRACE(e.dpi);
        w.dpiChanged(e.dpi);
        EXPECT_EQ(w.client().cx, e.client.cx);
        EXPECT_EQ(w.client().cy, e.client.cy);
        EXPECT_EQ(w.placeOf(compact), e.compact);
        EXPECT_EQ(w.placeOf(exitButton), e.exitButton);
        EXPECT_EQ(w.placeOf(browse), e.browse);
        EXPECT_EQ(w.placeOf(path), e.path);
        EXPECT_EQ(w.fontHeight(frame), e.frameFont);
        EXPECT_EQ(w.fontHeight(browse), e.browseFont);
        EXPECT_EQ(w.fontHeight(compact), e.windowFont);
        EXPECT_EQ(w.pictureSide(), e.picture);
    }
    // The buttons are still the flat ones Form_Load made them.
    for (HWND b : {compact, exitButton, browse})
        EXPECT_NE(GetWindowLongW(b, GWL_STYLE) & BS_FLAT, 0);
}
