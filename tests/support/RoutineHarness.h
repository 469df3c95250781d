// The compaction routine on real files, through the runtime's doubles: a
// recording message box, a file system whose steps can fail or pause, and
// the real engine behind a scriptable factory.
#pragma once

#include <string>

#include "compaction/CompactDB.h"
#include "platform/doubles/Doubles.h"
#include "support/ProductDatabase.h"

namespace testsupport {

struct Harness {
    platform::doubles::RecordingMessageBox box;
    platform::RealFileSystem real;
    platform::doubles::FaultyFileSystem files{real};
    platform::doubles::FixedNumberFormat numbers;
    platform::doubles::ScriptedEngineFactory engines;
    compaction::Runtime rt{box, files, numbers, engines};

    bool run(const fs::path& db, const std::string& password = kProductPassword) {
        return compaction::CompactDB(db.string(), db.string() + "2", password, rt);
    }
    std::string message() const { return box.shown.empty() ? "" : box.shown.front().text; }
};

}  // namespace testsupport
