#include "selection/BrowseCommand.h"

#include "platform/ErrorRecord.h"

namespace selection {

void Command1_Click(platform::FileDialog& comDlg,
                    const std::function<void(const std::string&)>& setText,
                    const std::string& programFolder) {
    platform::ErrorRecord last;  // switching to resume-next clears the record
    auto resumeNext = [&](const std::function<void()>& step) {
        try {
            step();
        } catch (const platform::RaisedError& e) {
            last = e.record();
        }
    };
    resumeNext([&] { comDlg.setCancelError(true); });
    resumeNext([&] { comDlg.setFlags(kFlags); });
    resumeNext([&] { comDlg.setInitDir(programFolder); });
    resumeNext([&] { comDlg.setFileName(kDefaultFileName); });
    resumeNext([&] { comDlg.setDialogTitle(kDialogTitle); });
    resumeNext([&] { comDlg.setFilter(kFilter); });
    resumeNext([&] { comDlg.ShowOpen(); });
    if (last.number == platform::kCancelError) return;
    if (last.number != 0) return;
    std::string chosen;
    bool read = true;
    try {
        chosen = comDlg.fileName();
    } catch (const platform::RaisedError&) {
        read = false;
    }
    if (!read || chosen.empty()) return;
    resumeNext([&] { setText(comDlg.fileName()); });
}

}  // namespace selection
