#include "compaction/CompactDB.h"

#include <memory>

#include "jet/Error.h"
#include "platform/ErrorRecord.h"
#include "platform/FormEngine.h"

namespace compaction {

std::string failureMessage(const std::string& description, int32_t number,
                           const std::string& source) {
    return "Something go wrong\r\n\r\nMake sure that you have installed MS.MDAC v2.8\r\n\r\n"
           "Send this to author : \r\n" +
           description + "\r\n" + std::to_string(number) + " - " + source;
}

std::string connectionValue(const std::string& value) {
    const bool plain = value.find_first_of(";=\"'") == std::string::npos &&
                       (value.empty() || (value.front() != ' ' && value.front() != '\t' &&
                                          value.back() != ' ' && value.back() != '\t'));
    if (plain) return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"') quoted += '"';  // a doubled quote stands for itself
        quoted += c;
    }
    return quoted + "\"";
}

bool CompactDB(const std::string& sourcePath, const std::string& tempPath,
               const std::string& password, Runtime& rt) {
    RepairReport ignored;
    return CompactDB(sourcePath, tempPath, password, rt, ignored);
}

bool CompactDB(const std::string& sourcePath, const std::string& tempPath,
               const std::string& password, Runtime& rt, RepairReport& repaired) {
    bool result = false;
    platform::ErrorRecord pending;  // the trap is armed: the record starts clear
    {
        std::unique_ptr<platform::DatabaseEngine> engine;
        try {
            engine = rt.engines.create();
            // The path is resolved once and the database locked before
            // anything beside it is touched; the lock is held until the copy
            // has replaced it. The temporary is beside the real file.
            auto held = rt.files.hold(sourcePath, tempPath);
            if (held->temporaryExists()) held->removeTemporary();
            const std::string source = "Provider=Microsoft.Jet.OLEDB.4.0" +
                                       std::string(";Data Source=") + connectionValue(sourcePath) +
                                       ";Jet OLEDB:Database Password=" + connectionValue(password);
            const std::string destination =
                "Provider=Microsoft.Jet.OLEDB.4.0" + std::string(";Data Source=") +
                connectionValue(held->temporaryPath()) + ";Jet OLEDB:Engine Type=5" +
                ";Jet OLEDB:Database Password=" + connectionValue(password);
            const int temporary = held->createTemporary();
            try {
                repaired.outcome =
                    engine->CompactDatabase(source, destination, {held->database(), temporary});
            } catch (platform::RaisedError& e) {
                platform::ErrorRecord r = e.record();
                try {
                    held->removeTemporary();
                } catch (const platform::RaisedError&) {
                    r.description +=
                        " The partial copy '" + held->temporaryPath() + "' could not be removed.";
                }
                throw platform::RaisedError(r);
            }
            // The copy is made durable, then put in the database's place in one
            // step: at every instant the path holds the old database or the
            // complete new one. If this fails the database is untouched and
            // the copy stays at the temporary path. A repair that lost
            // anything keeps the damaged original beside it.
            held->flushTemporary();
            repaired.originalKeptAs = held->replace(repaired.outcome.lostOrChanged());
            result = true;
        } catch (const platform::RaisedError& e) {
            pending = e.record();
        } catch (const std::bad_alloc&) {
            pending = platform::ErrorRecord{7, "Out of memory", platform::kRuntimeSource};
        }
        engine.reset();  // released on every path
    }
    // A search for a lost key stopped because the window is closing: the
    // person knows, and there is no window left to tell.
    // (Unless the partial copy could not be removed: that is said.)
    if (pending.number == static_cast<int32_t>(jet::ErrorCode::kStopped) &&
        pending.description.find("could not be removed") == std::string::npos)
        return false;
    if (pending.number != 0) {
        result = false;
        rt.messageBox.show(failureMessage(pending.description, pending.number, pending.source),
                           platform::MessageIcon::kCritical, platform::kTitle);
    }
    return result;
}

}  // namespace compaction
