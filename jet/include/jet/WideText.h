// Names as the engine and its callers hold them (UTF-8) and as Windows takes
// them (UTF-16). Only in a build for Windows.
#pragma once

#include <string>

namespace jet {

// Bytes that are not UTF-8 become U+FFFD; a lone surrogate does too.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);

}  // namespace jet
