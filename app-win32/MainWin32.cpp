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

namespace appwin {

namespace {

constexpr int px(int twips) { return (twips + 7) / 15; }  // 15 twips a pixel, rounded
constexpr wchar_t kClass[] = L"QwMaintenanceMain";
constexpr wchar_t kCaption[] = L"  Maintenance  --  Quixwell DBASE";
// The frame of a fixed dialog: a title bar with its close box, no sizing
// border, no minimise or maximise box.
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
constexpr int kIconResource = 1;

enum ControlId : int { kText1 = 101, kCommand1, kCommand2, kCommand3, kFrame1, kImage1 };

HFONT tahoma(int pixels, bool bold) {
    return CreateFontW(-pixels, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       GREEK_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"Tahoma");
}

}  // namespace

// The window's default font (8 pt), the frame's (8.25 pt bold) and the
// browse button's (9.75 pt bold), at 96 dots an inch.
struct Main::Fonts {
    HFONT window = tahoma(11, false);
    HFONT frame = tahoma(11, true);
    HFONT browse = tahoma(13, true);
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
        }
        auto* main = reinterpret_cast<Main*>(GetWindowLongPtrW(h, GWLP_USERDATA));
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
            case WM_CLOSE:
                if (!offThreadBusy()) DestroyWindow(h);
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

Main::Main(WindowServices& services)
    : services_(services),
      engines_(services.runtime.engines, runOffThread),
      files_(services.runtime.files, runOffThread),
      runtime_{services.runtime.messageBox, files_, services.runtime.numbers, engines_},
      command_(runtime_),
      fonts_(new Fonts) {}

Main::~Main() {
    if (window_ && IsWindow(window_)) DestroyWindow(window_);
    delete fonts_;
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
    RECT r{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&r, kStyle, FALSE, kExStyle);
    window_ = CreateWindowExW(kExStyle, kClass, kCaption, kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                              r.right - r.left, r.bottom - r.top, nullptr, nullptr, self, this);
    createControls();
    services_.comDlg.setOwner(window_);
}

// In the order of the tab indexes: Text1, Command2, Command3, Command1
// (the frame and the picture never take the focus). The frame's children
// are placed from the frame's corner.
void Main::createControls() {
    const HINSTANCE self = GetModuleHandleW(nullptr);
    auto control = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y,
                       int w, int h, HFONT font) {
        HWND c = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, window_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), self, nullptr);
        SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        return c;
    };
    const int fx = px(1200), fy = px(120);
    Image1 = control(L"STATIC", nullptr, SS_ICON | SS_REALSIZEIMAGE, kImage1, px(240), px(240),
                     px(480), px(480), fonts_->window);
    SendMessageW(Image1, STM_SETICON,
                 reinterpret_cast<WPARAM>(LoadImageW(self, MAKEINTRESOURCEW(kIconResource),
                                                     IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR)),
                 0);
    Frame1 = control(L"BUTTON", L" Select the DBASE : ", BS_GROUPBOX, kFrame1, fx, fy, px(6975),
                     px(855), fonts_->frame);
    Text1 = control(L"EDIT", L"", WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, kText1, fx + px(240),
                    fy + px(360), px(6015), px(285), fonts_->window);
    Command2 = control(L"BUTTON", L"Compact and Repair", WS_TABSTOP | BS_PUSHBUTTON, kCommand2,
                       px(1200), px(1080), px(1815), px(380), fonts_->window);
    Command3 = control(L"BUTTON", L"Exit", WS_TABSTOP | BS_PUSHBUTTON, kCommand3, px(6960),
                       px(1080), px(1215), px(380), fonts_->window);
    Command1 = control(L"BUTTON", L"..", WS_TABSTOP | BS_PUSHBUTTON, kCommand1, fx + px(6360),
                       fy + px(360), px(375), px(255), fonts_->browse);
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
    platform::runHandler([this] { command_.Command2_Click(text1()); },
                         services_.runtime.messageBox);
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
