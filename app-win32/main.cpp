// Start-up on Windows: the form engine's part is ours here. Main is created,
// Form_Load styles its buttons, the window shows centred, and the program
// ends when the window is closed.
#include "app-win32/Main.h"

#include <string>

#include "app-win32/Runtime.h"
#include "jet/Compact.h"
#include "platform/DatabaseEngine.h"
#include "platform/FileSystem.h"
#include "platform/NumberFormat.h"
#include "platform/Process.h"

int main() {
    if (!platform::prepareProcess()) return 1;
    platform::keepLargeFreedBlocks();
    appwin::Win32MessageBox messageBox;
    platform::RealFileSystem files;
    platform::LocaleNumberFormat numbers;
    // Made first, on this thread, which it makes COM's; the engine tells it
    // how far each compaction has come.
    appwin::TaskbarProgress taskbar;
    platform::JetEngineFactory engines(nullptr, {}, &taskbar);
    appwin::Win32FileDialog comDlg;
    appwin::Win32WindowStyleApi windowStyle;
    appwin::WindowServices services{
        {messageBox, files, numbers, engines}, comDlg, windowStyle, platform::programFolder()};
    appwin::Main window(services, &taskbar);
    window.create();
    window.Form_Load();
    window.show();
    return window.run();
}
