// Main: the utility's only window. A path box with a browse button in a
// frame, "Compact and Repair", "Exit" and the application's picture. Layout
// in pixels, converted from the design's twips at 15 twips a pixel.
#pragma once

#include <QWidget>

#include "compaction/CompactCommand.h"
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

    explicit Main(WindowServices& services, QWidget* parent = nullptr);

    void Form_Load();
    void cButt(platform::CommandButton& button);
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    // Places the window at the centre of its screen.
    void centreOnScreen();

    QLabel* Image1;
    QGroupBox* Frame1;
    QLineEdit* Text1;
    QPushButton* Command1;
    QPushButton* Command2;
    QPushButton* Command3;

    compaction::CompactCommand& compactCommand() { return command_; }

  private:
    WindowServices& services_;
    compaction::CompactCommand command_;
};

// The design's fonts, asked of fontconfig by name.
QFont designFont(double pointSize);

}  // namespace app
