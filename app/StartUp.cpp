// Start-up: the form engine creates Main, runs Form_Load, shows the window
// centred, and the program ends when the window is closed. Without a
// display the program says where to turn instead and ends with status 1.
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Main.h"
#include "app/QtRuntime.h"
#include "jet/Compact.h"
#include "platform/DatabaseEngine.h"
#include "platform/FileSystem.h"
#include "platform/NumberFormat.h"
#include "platform/Process.h"

namespace {

constexpr const char* kNoDisplay =
    "qw-maintenance: no display to open the window on; on a server, compact the database "
    "with: jet4 compact --in-place /path/to/data.dbf\n";

[[noreturn]] void noDisplay() {
    std::fputs(kNoDisplay, stderr);
    std::fflush(stderr);
    // Qt may be half set up: leave without running its destructors.
    ::_exit(1);
}

bool empty(const char* variable) {
    const char* v = std::getenv(variable);
    return v == nullptr || *v == '\0';
}

// Qt's messages while it connects to the display are held back: when it
// cannot connect, its fatal error becomes the one-line hint above instead
// of an abort; when it can, they are passed on.
std::vector<std::pair<QtMsgType, std::string>> heldBack;

void holdBack(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtFatalMsg) noDisplay();
    heldBack.emplace_back(type, text.toStdString());
}

}  // namespace

int main(int argc, char** argv) {
    if (!platform::prepareProcess()) return 1;
    platform::keepLargeFreedBlocks();
    // Nothing to connect to: no X or Wayland display and no platform named.
    if (empty("DISPLAY") && empty("WAYLAND_DISPLAY") && empty("QT_QPA_PLATFORM")) noDisplay();
    const QtMessageHandler previous = qInstallMessageHandler(holdBack);
    QApplication application(argc, argv);
    qInstallMessageHandler(previous);
    for (const auto& [type, text] : heldBack)
        qt_message_output(type, QMessageLogContext(), QString::fromStdString(text));
    heldBack.clear();

    QApplication::setApplicationName("Maintenance - QW DBASE");
    QApplication::setApplicationVersion("1.00");
    QApplication::setDesktopFileName("qw-maintenance");
    QApplication::setWindowIcon(QIcon(":/app.ico"));

    app::QtMessageBox messageBox;
    platform::RealFileSystem files;
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
    return QApplication::exec();
}
