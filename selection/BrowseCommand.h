// What the ".." button runs: a file-open dialog that starts in the program's
// folder and lists only "data.dbf"; the chosen path goes into the path box.
// Every error is swallowed, as with resume-next handling: the last error of
// the run decides, so a set-up error also discards a file the user picks.
#pragma once

#include <functional>
#include <string>

#include "platform/FileDialog.h"

namespace selection {

inline constexpr const char* kDialogTitle = "Please select the DBASE file";
inline constexpr const char* kFilter = "QW DBASE (data.dbf)|data.dbf|";
inline constexpr const char* kDefaultFileName = "data.dbf";
inline constexpr int kFlags = 6;  // prompt before overwriting (2) + hide read-only box (4)

// setText writes the path box; programFolder is where the dialog starts.
void Command1_Click(platform::FileDialog& comDlg,
                    const std::function<void(const std::string&)>& setText,
                    const std::string& programFolder);

}  // namespace selection
