// The process on Windows.
#include <windows.h>
// After windows.h: its macros must not rename what these declare.
#include <shellapi.h>
#include <io.h>

#include "jet/WideText.h"
#include "platform/FileDialog.h"
#include "platform/Process.h"

namespace platform {

bool prepareProcess() {
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
    // No dialog of the system's own when a disk is missing or a file cannot
    // be opened: the run reports it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    return true;
}

// The Windows heap keeps freed blocks of that size by itself.
void keepLargeFreedBlocks() {}

bool isTerminal(std::FILE* stream) { return ::_isatty(::_fileno(stream)) != 0; }

std::vector<std::string> commandArguments(int argc, char** argv) {
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(jet::narrow(wide[i]));
    LocalFree(wide);
    return out;
}

std::string programFolder() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return ".";
        if (n < buf.size()) {
            buf.resize(n);
            break;
        }
        buf.resize(buf.size() * 2);
    }
    const std::size_t slash = buf.find_last_of(L"\\/");
    return slash == std::wstring::npos ? "." : jet::narrow(buf.substr(0, slash));
}

}  // namespace platform
