#include "compaction/CompactCommand.h"

#include <cstdlib>

#include "compaction/CompactDB.h"
#include "platform/FormEngine.h"

namespace compaction {

using platform::MessageIcon;

void CompactCommand::Command2_Click(const std::string& chosen) {
    if (chosen.empty()) {
        rt_.messageBox.show("You must select the DBase file first!", MessageIcon::kCritical,
                            platform::kTitle);
        return;
    }
    // The database the product really uses: on Windows, its copy in the
    // user's VirtualStore where Windows keeps one for it.
    const std::string path = rt_.files.fileInUse(chosen);
    if (rt_.files.lookUp(path).empty()) {
        rt_.messageBox.show("File doesn't exist!", MessageIcon::kCritical, platform::kTitle);
        return;
    }
    oldSizeText = std::to_string(rt_.files.length(path));
    RepairReport repaired;
    if (!CompactDB(path, path + "2", password_, rt_, repaired)) return;
    const int64_t compared = rt_.files.length(path);
    const int64_t reported = rt_.files.length(path);
    const std::string changed =
        "All Done!\r\n\r\nOld Filesize : " + rt_.numbers.format(oldSizeText, "#,##0") +
        " bytes\r\nNew Filisize : " + rt_.numbers.format(std::to_string(reported), "#,##0") +
        " bytes";
    const std::string unchanged =
        "No changes\r\n\r\nUse this utility when deleting/modifing records";
    const bool same = std::strtod(oldSizeText.c_str(), nullptr) == static_cast<double>(compared);
    const std::string where = path == chosen
                                  ? ""
                                  : "\r\n\r\nWindows keeps the database that QW DBASE uses in your "
                                    "VirtualStore folder. Compacted:\r\n" +
                                        path;
    rt_.messageBox.show((same ? unchanged : changed) + where, MessageIcon::kInformation,
                        platform::kTitle);
    if (repaired.outcome.lostOrChanged()) {
        rt_.messageBox.show(repairMessage(repaired), MessageIcon::kInformation, platform::kTitle);
    }
}

std::string CompactCommand::repairMessage(const RepairReport& repaired) {
    const auto& o = repaired.outcome;
    auto count = [&](uint64_t n) { return rt_.numbers.format(std::to_string(n), "#,##0"); };
    auto rows = [&](uint64_t n, const char* one, const char* many) {
        return count(n) + (n == 1 ? one : many);
    };
    // Fewer rows than the damaged file held: how many come first.
    std::string text = o.account.fewer() ? "Kept " + count(o.account.copied()) + " of " +
                                               rows(o.account.rows, " row", " rows") + ". "
                                         : "";
    text += "The database was damaged. Repairing it:\r\n";
    if (o.keySearched) {
        text += "- found again the key its pages are encoded with (" + jet::keyText(o.databaseKey) +
                "), which was lost with its header\r\n";
    }
    if (o.rowsDropped != 0) text += "- dropped " + count(o.rowsDropped) + " rows\r\n";
    if (o.rowsChanged != 0) {
        text += "- changed " + count(o.rowsChanged) +
                " rows (values that could not be read "
                "are empty)\r\n";
    }
    if (o.rowsMovedBack != 0) {
        text += "- moved " + rows(o.rowsMovedBack, " row", " rows") +
                " back to the table they belong to\r\n";
    }
    if (o.rowsForeign != 0) {
        text += "- left out " + rows(o.rowsForeign, " foreign row", " foreign rows") +
                " (rows of no table of this database)\r\n";
    }
    if (o.rowsRestored != 0) {
        text += "- brought back " + rows(o.rowsRestored, " deleted row", " deleted rows") +
                " that an index still listed\r\n";
    }
    if (o.tablesLost != 0) text += "- lost " + count(o.tablesLost) + " tables\r\n";
    for (const auto& d : o.references) {
        text += "- " + rows(d.rows, " row", " rows") + " of table " + d.table +
                " now refer to rows of " + d.referenced + " that were dropped\r\n";
    }
    if (!o.rowsDiffer() && o.tablesLost == 0 && !o.keySearched) {
        // Only damage whose rows could not be counted, such as a page of
        // rows that was wiped out.
        text += "- found " + count(o.logEntries) + " damaged places it could not read\r\n";
    }
    text += "\r\nEach is listed in the table MSysCompactError of the database.";
    if (!repaired.originalKeptAs.empty()) {
        text += "\r\n\r\nThe damaged original was kept as:\r\n" + repaired.originalKeptAs;
    }
    return text;
}

}  // namespace compaction
