// The window, its controls and its procedure.
// clang-format off
// The project's headers come before <windows.h>, whose macros (MessageBox,
// GWL_STYLE, WS_CHILD, BS_FLAT) would rename what they declare.
#include "app-win32/Main.h"
#include "app-win32/OffThread.h"
#include "jet/WideText.h"
#include "platform/FormEngine.h"
#include "selection/BrowseCommand.h"
#include <windows.h>
#undef MessageBox
// clang-format on

#include <string>
#include <utility>

namespace appwin {

namespace {

// A length of the design in twips as pixels at dpi dots an inch, to the
// nearest pixel, a half down: at 96 DPI 15 twips a pixel (8325 x 1575 twips
// are 555 x 105 pixels), at 144 DPI 10 (832 x 157).
constexpr int px(int twips, int dpi) { return (twips * dpi + 719) / 1440; }
static_assert(px(8325, 96) == 555 && px(1575, 96) == 105);
static_assert(px(8325, 144) == 832 && px(1575, 144) == 157);
constexpr wchar_t kClass[] = L"QwMaintenanceMain";
constexpr wchar_t kCaption[] = L"  Maintenance  --  Quixwell DBASE";
// The frame of a fixed dialog: a title bar with its close box, no sizing
// border, no minimise or maximise box.
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
constexpr int kIconResource = 1;

enum ControlId : int { kText1 = 101, kCommand1, kCommand2, kCommand3, kFrame1, kImage1 };
constexpr UINT kDpiChanged = 0x02E0;  // WM_DPICHANGED, which Windows 7's headers lack

// Tahoma of the Greek character set, its size in hundredths of a point,
// as many pixels high (the character's height) as that is at dpi.
HFONT tahoma(int centipoints, bool bold, int dpi) {
    return CreateFontW(-MulDiv(centipoints, dpi, 7200), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                       FALSE, FALSE, GREEK_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
}

// A function of a later Windows than 7, looked up at run time: nullptr
// where the system has none. (A cast through void (*)() is what a function
// pointer of another type is taken from.)
template <typename F>
F later(HMODULE dll, const char* name) {
    if (!dll) return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
}

// shcore.dll, from the system's folder only (Windows 8.1 and later).
HMODULE shcore() {
    static const HMODULE dll = [] {
        wchar_t folder[MAX_PATH] = {};
        const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return HMODULE{};
        return LoadLibraryW((std::wstring(folder, n) + L"\\shcore.dll").c_str());
    }();
    return dll;
}

// The DPI the window is drawn at: its own (Windows 10 1607 and later), its
// monitor's (8.1 and later), or the system's (7 and 8).
int dpiOf(HWND h) {
    using ForWindow = UINT(WINAPI*)(HWND);
    static const auto forWindow =
        later<ForWindow>(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
    if (forWindow) {
        if (const UINT dpi = forWindow(h)) return static_cast<int>(dpi);
    }
    using ForMonitor = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
    static const auto forMonitor = later<ForMonitor>(shcore(), "GetDpiForMonitor");
    UINT x = 0, y = 0;
    constexpr int kEffectiveDpi = 0;  // MDT_EFFECTIVE_DPI
    if (forMonitor &&
        forMonitor(MonitorFromWindow(h, MONITOR_DEFAULTTONEAREST), kEffectiveDpi, &x, &y) == S_OK &&
        y != 0)
        return static_cast<int>(y);
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

// The frame around a client area at dpi: the frame's own metrics at that
// DPI where the system gives them (Windows 10 1607 and later).
RECT frameAround(RECT client, DWORD style, DWORD exStyle, int dpi) {
    using ForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto forDpi =
        later<ForDpi>(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi");
    if (!forDpi || !forDpi(&client, style, FALSE, exStyle, static_cast<UINT>(dpi)))
        AdjustWindowRectEx(&client, style, FALSE, exStyle);
    return client;
}

// Per monitor v1 (Windows 8.1 to 10 1607) scales no title bar by itself;
// this asks for it (v2 does it anyway).
void scaleTitleBar(HWND h) {
    using Enable = BOOL(WINAPI*)(HWND);
    static const auto enable =
        later<Enable>(GetModuleHandleW(L"user32.dll"), "EnableNonClientDpiScaling");
    if (enable) enable(h);
}

}  // namespace

// The window's default font (8 pt), the frame's (8.25 pt bold) and the
// browse button's (9.75 pt bold), at the window's DPI.
struct Main::Fonts {
    explicit Fonts(int dpi)
        : window(tahoma(800, false, dpi)),
          frame(tahoma(825, true, dpi)),
          browse(tahoma(975, true, dpi)) {}
    Fonts(const Fonts&) = delete;
    Fonts& operator=(const Fonts&) = delete;
    HFONT window, frame, browse;
    ~Fonts() {
        for (HFONT f : {window, frame, browse}) DeleteObject(f);
    }
};

struct MainProcedure {
    static HWND& focusedBefore() {
        static HWND focused = nullptr;  // one window, on one thread
        return focused;
    }
    static LRESULT CALLBACK call(HWND h, UINT message, WPARAM w, LPARAM l) {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(l);
            SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            scaleTitleBar(h);
        }
        auto* main = reinterpret_cast<Main*>(GetWindowLongPtrW(h, GWLP_USERDATA));
        if (main && main->taskbar_ &&
            main->taskbar_->handle(message, static_cast<uintptr_t>(w), static_cast<intptr_t>(l)))
            return 0;
        switch (message) {
            case WM_COMMAND:
                if (main && HIWORD(w) == BN_CLICKED && main->command(LOWORD(w))) return 0;
                break;
            case WM_SETCURSOR:
                if (offThreadBusy()) {
                    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                    return TRUE;
                }
                break;
            // As a dialog does: the control that had the focus has it again
            // when the window is active again (after a message box, say).
            case WM_ACTIVATE:
                if (LOWORD(w) == WA_INACTIVE) {
                    const HWND focused = GetFocus();
                    if (focused && IsChild(h, focused)) focusedBefore() = focused;
                } else if (focusedBefore() && IsWindow(focusedBefore())) {
                    SetFocus(focusedBefore());
                    return 0;
                }
                break;
            // Moved to a monitor of another DPI (or the DPI changed): drawn
            // again at the new one, where the system suggests.
            case kDpiChanged:
                if (main) {
                    const auto* suggested = reinterpret_cast<const RECT*>(l);
                    SetWindowPos(h, nullptr, suggested->left, suggested->top, 0, 0,
                                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
                    main->layout(HIWORD(w));
                    return 0;
                }
                break;
            case WM_CLOSE:
                if (!offThreadBusy()) {
                    DestroyWindow(h);
                } else {
                    closeWhenDone(h);
                }
                return 0;
            case WM_DESTROY:
                PostQuitMessage(0);
                return 0;
            default:
                break;
        }
        return DefWindowProcW(h, message, w, l);
    }
};

Main::Main(WindowServices& services, TaskbarProgress* taskbar)
    : services_(services),
      taskbar_(taskbar),
      engines_(services.runtime.engines, runOffThread),
      files_(services.runtime.files, runOffThread),
      runtime_{services.runtime.messageBox, files_, services.runtime.numbers, engines_},
      command_(runtime_) {}

Main::~Main() {
    if (window_ && IsWindow(window_)) DestroyWindow(window_);
    delete fonts_;
    if (picture_) DestroyIcon(static_cast<HICON>(picture_));
}

void Main::create() {
    const HINSTANCE self = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MainProcedure::call;
    wc.hInstance = self;
    wc.hIcon = static_cast<HICON>(
        LoadImageW(self, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    wc.hIconSm = static_cast<HICON>(
        LoadImageW(self, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClass;
    RegisterClassExW(&wc);
    window_ = CreateWindowExW(kExStyle, kClass, kCaption, kStyle, CW_USEDEFAULT, CW_USEDEFAULT, 0,
                              0, nullptr, nullptr, self, this);
    if (taskbar_) taskbar_->attach(window_);
    createControls();
    layout(dpiOf(window_));
    services_.comDlg.setOwner(window_);
}

// In the order of the tab indexes: Text1, Command2, Command3, Command1
// (the frame and the picture never take the focus); placed by layout().
void Main::createControls() {
    const HINSTANCE self = GetModuleHandleW(nullptr);
    auto control = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id) {
        return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, window_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), self, nullptr);
    };
    Image1 = control(L"STATIC", nullptr, SS_ICON | SS_REALSIZEIMAGE, kImage1);
    Frame1 = control(L"BUTTON", L" Select the DBASE : ", BS_GROUPBOX, kFrame1);
    Text1 = control(L"EDIT", L"", WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, kText1);
    Command2 = control(L"BUTTON", L"Compact and Repair", WS_TABSTOP | BS_PUSHBUTTON, kCommand2);
    Command3 = control(L"BUTTON", L"Exit", WS_TABSTOP | BS_PUSHBUTTON, kCommand3);
    Command1 = control(L"BUTTON", L"..", WS_TABSTOP | BS_PUSHBUTTON, kCommand1);
}

// The frame's children are placed from the frame's corner. The fonts and
// the picture of the old DPI go once the controls have the new ones.
void Main::layout(int dpi) {
    dpi_ = dpi;
    const HINSTANCE self = GetModuleHandleW(nullptr);
    RECT frame{};
    GetWindowRect(window_, &frame);
    const int width = px(kClientWidth, dpi), height = px(kClientHeight, dpi);
    const RECT outer = frameAround({0, 0, width, height}, kStyle, kExStyle, dpi);
    int outerWidth = outer.right - outer.left, outerHeight = outer.bottom - outer.top;
    SetWindowPos(window_, nullptr, frame.left, frame.top, outerWidth, outerHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    // Where the frame the system drew is not the one it computed (its title
    // bar still of the old DPI, say), the client area is set right from
    // what it is.
    RECT client{};
    GetClientRect(window_, &client);
    if (client.right != width || client.bottom != height) {
        outerWidth += width - client.right;
        outerHeight += height - client.bottom;
        SetWindowPos(window_, nullptr, 0, 0, outerWidth, outerHeight,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    Fonts* old = std::exchange(fonts_, new Fonts(dpi));
    auto place = [&](HWND c, int x, int y, int w, int h, HFONT font) {
        SetWindowPos(c, nullptr, px(x, dpi), px(y, dpi), px(w, dpi), px(h, dpi),
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    };
    constexpr int fx = 1200, fy = 120;
    place(Image1, 240, 240, 480, 480, fonts_->window);
    place(Frame1, fx, fy, 6975, 855, fonts_->frame);
    place(Text1, fx + 240, fy + 360, 6015, 285, fonts_->window);
    place(Command2, 1200, 1080, 1815, 380, fonts_->window);
    place(Command3, 6960, 1080, 1215, 380, fonts_->window);
    place(Command1, fx + 6360, fy + 360, 375, 255, fonts_->browse);
    delete old;
    // The icon at its natural size for this DPI: 32 pixels at 96, the
    // 48-pixel image at 144.
    const int side = px(480, dpi);
    const HANDLE icon =
        LoadImageW(self, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, side, side, LR_DEFAULTCOLOR);
    SendMessageW(Image1, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
    if (picture_) DestroyIcon(static_cast<HICON>(picture_));
    picture_ = icon;
    InvalidateRect(window_, nullptr, TRUE);
}

void Main::Form_Load() {
    Win32CommandButton b1(Command1), b2(Command2), b3(Command3);
    cButt(b1);
    cButt(b2);
    cButt(b3);
}

void Main::cButt(platform::CommandButton& button) {
    platform::makeFlat(services_.windowStyle, button);
}

void Main::Command1_Click() {
    platform::runHandler(
        [this] {
            selection::Command1_Click(
                services_.comDlg, [this](const std::string& path) { setText1(path); },
                services_.programFolder);
        },
        services_.runtime.messageBox);
}

void Main::Command2_Click() {
    const HCURSOR before = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    if (taskbar_) taskbar_->begin();
    platform::runHandler([this] { command_.Command2_Click(text1()); },
                         services_.runtime.messageBox);
    if (taskbar_) taskbar_->end();
    SetCursor(before);
}

void Main::Command3_Click() { DestroyWindow(window_); }

bool Main::command(int id) {
    // Enter, as the dialog manager gives it: the button that has the focus.
    if (id == IDOK) {
        const HWND focused = GetFocus();
        if (focused == Command1 || focused == Command2 || focused == Command3)
            return command(GetDlgCtrlID(focused));
        return true;
    }
    switch (id) {
        case kCommand1:
            Command1_Click();
            return true;
        case kCommand2:
            Command2_Click();
            return true;
        case kCommand3:
            Command3_Click();
            return true;
        default:
            return false;
    }
}

void Main::show() {
    RECT area{}, frame{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(window_, &frame);
    const int w = frame.right - frame.left, h = frame.bottom - frame.top;
    SetWindowPos(window_, nullptr, area.left + (area.right - area.left - w) / 2,
                 area.top + (area.bottom - area.top - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(window_, SW_SHOW);
    UpdateWindow(window_);
    // Text1 takes input, so it has the focus first.
    SetFocus(Text1);
}

int Main::run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // Tab moves between the controls, Enter and Space press the one
        // that has the focus.
        if (IsDialogMessageW(window_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    window_ = nullptr;
    return static_cast<int>(msg.wParam);
}

std::string Main::text1() const {
    const int n = GetWindowTextLengthW(Text1);
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    const int got = GetWindowTextW(Text1, text.data(), n + 1);
    text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    return jet::narrow(text);
}

void Main::setText1(const std::string& text) { SetWindowTextW(Text1, jet::widen(text).c_str()); }

}  // namespace appwin
