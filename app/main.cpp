// Start-up: the form engine creates Main, runs Form_Load, shows the window
// centred, and the program ends when the window is closed.
#include "app/Main.h"

#include <QApplication>
#include <QIcon>

#include "app/QtRuntime.h"
#include "jet/Compact.h"
#include "platform/DatabaseEngine.h"
#include "platform/FileSystem.h"
#include "platform/NumberFormat.h"

int main(int argc, char** argv) {
    jet::keepLargeBlocks();
    QApplication application(argc, argv);
    QApplication::setApplicationName("Maintenance - QW DBASE");
    QApplication::setApplicationVersion("1.00");
    QApplication::setDesktopFileName("qw-maintenance");
    QApplication::setWindowIcon(QIcon(":/app.ico"));

    app::QtMessageBox messageBox;
    platform::PosixFileSystem files;
    platform::LocaleNumberFormat numbers;
    platform::JetEngineFactory engines;
    app::QtFileDialog comDlg;
    app::QtWindowStyleApi windowStyle;
    app::WindowServices services{
        {messageBox, files, numbers, engines}, comDlg, windowStyle, platform::programFolder()};
    app::Main window(services);
    window.Form_Load();
    window.centreOnScreen();
    window.show();
    window.centreOnScreen();
    return QApplication::exec();
}
