// The engine's public entry points. None of them throws: each returns a
// Result carrying the value or the error (number, description, source).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "jet/Checker.h"
#include "jet/Error.h"

namespace jet {

struct DatabaseInfo {
    std::string format;  // "Jet 4"
    uint32_t pageCount = 0;
    uint64_t fileSize = 0;
    bool encoded = false;
    bool hasPassword = false;
    uint16_t codePage = 0;
    uint16_t sortLcid = 0;
    std::string creationDate;
    CheckReport report;  // tables, reachability, dead space
};

Result<DatabaseInfo> databaseInfo(const std::string& path, const std::string& password);
Result<CheckReport> checkFile(const std::string& path, const std::string& password);
// Writes every row of the named tables (all local tables when none are named).
Status dumpFile(const std::string& path, const std::string& password,
                const std::vector<std::string>& tables, std::ostream& out);

}  // namespace jet
