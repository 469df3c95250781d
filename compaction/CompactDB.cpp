#include "compaction/CompactDB.h"

#include <memory>

#include "platform/ErrorRecord.h"
#include "platform/FormEngine.h"

namespace compaction {

std::string failureMessage(const std::string& description, int32_t number,
                           const std::string& source) {
    return "Something go wrong\r\n\r\nMake sure that you have installed MS.MDAC v2.8\r\n\r\n"
           "Send this to author : \r\n" +
           description + "\r\n" + std::to_string(number) + " - " + source;
}

bool CompactDB(const std::string& sourcePath, const std::string& tempPath,
               const std::string& password, Runtime& rt) {
    bool result = false;
    platform::ErrorRecord pending;  // the trap is armed: the record starts clear
    {
        std::unique_ptr<platform::DatabaseEngine> engine;
        try {
            engine = rt.engines.create();
            if (!rt.files.lookUp(tempPath).empty()) rt.files.remove(tempPath);
            const std::string source = "Provider=Microsoft.Jet.OLEDB.4.0" +
                                       std::string(";Data Source=") + sourcePath +
                                       ";Jet OLEDB:Database Password=" + password;
            const std::string destination =
                "Provider=Microsoft.Jet.OLEDB.4.0" + std::string(";Data Source=") + tempPath +
                ";Jet OLEDB:Engine Type=5" + ";Jet OLEDB:Database Password=" + password;
            (void)engine->CompactDatabase(source, destination);
            // The copy is made durable, then put in the database's place in one
            // step: at every instant the path holds the old database or the
            // complete new one. If this fails the database is untouched and
            // the copy stays at the temporary path.
            rt.files.flush(tempPath);
            rt.files.replace(tempPath, sourcePath);
            result = true;
        } catch (const platform::RaisedError& e) {
            pending = e.record();
        } catch (const std::bad_alloc&) {
            pending = platform::ErrorRecord{7, "Out of memory", platform::kRuntimeSource};
        }
        engine.reset();  // released on every path
    }
    if (pending.number != 0) {
        result = false;
        rt.messageBox.show(failureMessage(pending.description, pending.number, pending.source),
                           platform::MessageIcon::kCritical, platform::kTitle);
    }
    return result;
}

}  // namespace compaction
