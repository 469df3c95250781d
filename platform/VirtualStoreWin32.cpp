// The protected folders and the VirtualStore of this system and user.
#include <windows.h>
// After windows.h: its macros must not rename what these declare.
#include <shlobj.h>

#include <vector>

#include "jet/WideText.h"
#include "platform/VirtualStore.h"

namespace platform {

namespace {

std::string knownFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_DONT_VERIFY, nullptr, SHGFP_TYPE_CURRENT,
                         path) != S_OK)
        return "";
    return jet::narrow(path);
}

std::string environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? jet::narrow(value) : "";
}

// Without the "\\?\" that marks a path given in the long form.
std::wstring plain(std::wstring path) {
    if (path.rfind(L"\\\\?\\", 0) == 0 && path.rfind(L"\\\\?\\UNC\\", 0) != 0) path.erase(0, 4);
    return path;
}

}  // namespace

ProtectedFolders systemProtectedFolders() {
    ProtectedFolders f;
    // A 32-bit program on a 64-bit Windows is told "Program Files (x86)"
    // for both; the 64-bit programs' folder is in ProgramW6432.
    for (const std::string& folder :
         {knownFolder(CSIDL_PROGRAM_FILES), knownFolder(CSIDL_PROGRAM_FILESX86),
          environment(L"ProgramW6432"), knownFolder(CSIDL_WINDOWS),
          knownFolder(CSIDL_COMMON_APPDATA)}) {
        if (!folder.empty()) f.folders.push_back(folder);
    }
    const std::string local = knownFolder(CSIDL_LOCAL_APPDATA);
    if (!local.empty()) f.virtualStore = local + "\\VirtualStore";
    return f;
}

std::string fullLongPath(const std::string& path) {
    const std::wstring given = jet::widen(path);
    const DWORD need = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (need == 0) return path;
    std::vector<wchar_t> full(need);
    const DWORD got = GetFullPathNameW(given.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return path;
    std::wstring result(full.data(), got);
    // 8.3 names (C:\PROGRA~1) spelled out; a file that is not there keeps
    // the name it was given.
    const DWORD longNeed = GetLongPathNameW(result.c_str(), nullptr, 0);
    if (longNeed != 0) {
        std::vector<wchar_t> longer(longNeed);
        const DWORD longGot = GetLongPathNameW(result.c_str(), longer.data(), longNeed);
        if (longGot != 0 && longGot < longNeed) result.assign(longer.data(), longGot);
    }
    return jet::narrow(plain(result));
}

}  // namespace platform
