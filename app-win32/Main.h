// Main: the utility's only window, as a native Windows window. A path box
// with a browse button in a frame, "Compact and Repair", "Exit" and the
// application's picture, laid out from the design's twips at 15 twips a
// pixel, in Tahoma. The commands are the Qt window's: selection/ for "..",
// compaction/ for "Compact and Repair", whose long calls run off the
// window's thread.
#pragma once

#include <string>

#include "app-win32/Runtime.h"
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
    static constexpr int kClientWidth = 555;   // 8325 twips
    static constexpr int kClientHeight = 105;  // 1575 twips

    explicit Main(WindowServices& services);
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

    WindowServices& services_;
    compaction::OffThreadEngineFactory engines_;
    compaction::OffThreadFileSystem files_;
    compaction::Runtime runtime_;
    compaction::CompactCommand command_;
    Hwnd window_ = nullptr;
    Hwnd Image1 = nullptr, Frame1 = nullptr, Text1 = nullptr;
    Hwnd Command1 = nullptr, Command2 = nullptr, Command3 = nullptr;
    struct Fonts;
    Fonts* fonts_ = nullptr;
};

}  // namespace appwin
