// The process on Windows.
#include <windows.h>

#include "jet/WideText.h"
#include "os/Process.h"

namespace jet {

int processId() { return static_cast<int>(GetCurrentProcessId()); }

std::string temporaryFolder() {
    wchar_t buf[MAX_PATH + 2];
    const DWORD n = GetTempPathW(MAX_PATH + 2, buf);
    if (n == 0 || n > MAX_PATH + 1) return ".";
    std::wstring folder(buf, n);
    while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    return narrow(folder);
}

}  // namespace jet
