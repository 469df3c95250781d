// Main: the utility's only window, as a native Windows window. A path box
// with a browse button in a frame, "Compact and Repair", "Exit" and the
// application's picture, laid out from the design's twips at the window's
// DPI (15 twips a pixel at 96), with fonts in points, in Tahoma; laid out
// again when the window moves to a monitor of another DPI. The commands
// are the Qt window's: selection/ for "..", compaction/ for "Compact and
// Repair", whose long calls run off the window's thread.
#pragma once

#include <string>

#include "app-win32/Runtime.h"
#include "app-win32/TaskbarProgress.h"
#include "compaction/CompactCommand.h"
#include "compaction/OffThread.h"
#include "compaction/Runtime.h"

namespace appwin {

// The runtime services the window hands to its commands.
struct WindowServices {
    compaction::Runtime runtime;
    Win32FileDialog& comDlg;
    platform::WindowStyleApi& windowStyle;
    std::string programFolder;
};

class Main {
  public:
    static constexpr int kClientWidth = 8325;   // twips: 555 pixels at 96 DPI
    static constexpr int kClientHeight = 1575;  // 105 pixels

    // taskbar: shows each compaction's progress on the window's taskbar
    // button, told by the engine (none: not shown).
    explicit Main(WindowServices& services, TaskbarProgress* taskbar = nullptr);
    ~Main();
    Main(const Main&) = delete;
    Main& operator=(const Main&) = delete;

    // Creates the window and its controls, hidden.
    void create();
    void Form_Load();
    void cButt(platform::CommandButton& button);
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    // Shows the window, its frame centred on the work area of the screen.
    void show();
    // Takes the window's messages until it is closed; the exit status.
    int run();

    Hwnd window() const { return window_; }
    std::string text1() const;
    void setText1(const std::string& text);

  private:
    friend struct MainProcedure;  // the window procedure, in MainWin32.cpp
    // What a control's notification runs; false when none is for it.
    bool command(int id);
    void createControls();
    // Places the controls, sizes the frame for the client area and sets the
    // fonts and the picture, all at dpi; the frame's corner stays.
    void layout(int dpi);

    WindowServices& services_;
    TaskbarProgress* taskbar_;
    compaction::OffThreadEngineFactory engines_;
    compaction::OffThreadFileSystem files_;
    compaction::Runtime runtime_;
    compaction::CompactCommand command_;
    Hwnd window_ = nullptr;
    Hwnd Image1 = nullptr, Frame1 = nullptr, Text1 = nullptr;
    Hwnd Command1 = nullptr, Command2 = nullptr, Command3 = nullptr;
    struct Fonts;
    Fonts* fonts_ = nullptr;
    void* picture_ = nullptr;  // Image1's icon at the window's DPI (an HICON)
    int dpi_ = 96;
};

}  // namespace appwin
