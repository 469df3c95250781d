// A program that imports a function Windows 7 lacks (it came with Windows
// 8), for the import check to refuse: the check's own test, never shipped.
#include <windows.h>

extern "C" __declspec(dllimport) void WINAPI GetSystemTimePreciseAsFileTime(LPFILETIME);

int main() {
    FILETIME t{};
    GetSystemTimePreciseAsFileTime(&t);
    return static_cast<int>(t.dwLowDateTime & 1u);
}
