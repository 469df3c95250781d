// Main: the utility's only window. A path box with a browse button in a
// frame, "Compact and Repair", "Exit" and the application's picture. Layout
// in pixels, converted from the design's twips at 15 twips a pixel.
#pragma once

#include <QWidget>

#include "app/WindowFonts.h"
#include "compaction/CompactCommand.h"
#include "compaction/OffThread.h"
#include "compaction/Runtime.h"
#include "platform/FileDialog.h"
#include "platform/WindowStyle.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace app {

class QtWindowStyleApi;

// The runtime services the window hands to its commands.
struct WindowServices {
    compaction::Runtime runtime;
    platform::FileDialog& comDlg;
    QtWindowStyleApi& windowStyle;
    std::string programFolder;
};

class Main : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kClientWidth = 555;   // 8325 twips
    static constexpr int kClientHeight = 105;  // 1575 twips

    // fontFamily: Tahoma when it is installed (see WindowFonts.h).
    explicit Main(WindowServices& services, const QString& fontFamily = windowFontFamily(),
                  QWidget* parent = nullptr);

    void Form_Load();
    void cButt(platform::CommandButton& button);
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    // Places the window's frame, title bar included, at the centre of its
    // screen; again once the window manager has framed the window, when
    // the frame's size becomes known.
    void centreOnScreen();

    QLabel* Image1;
    QGroupBox* Frame1;
    QLineEdit* Text1;
    QPushButton* Command1;
    QPushButton* Command2;
    QPushButton* Command3;

  protected:
    bool event(QEvent* e) override;

  private:
    WindowServices& services_;
    // The compaction's long calls run off the window's thread.
    compaction::OffThreadEngineFactory engines_;
    compaction::OffThreadFileSystem files_;
    compaction::Runtime runtime_;
    compaction::CompactCommand command_;
    bool centreWhenFramed_ = false;
};

}  // namespace app
