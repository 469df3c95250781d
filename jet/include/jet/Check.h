// Reading a database without changing it: what it holds, whether it is sound,
// and every row of its tables. None of these throws: each returns a Result
// carrying the value or the error (number, description, source).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "jet/Env.h"
#include "jet/Error.h"

namespace jet {

struct TableSummary {
    std::string name;
    uint32_t definitionPage = 0;
    bool system = false;
    uint64_t rows = 0;
    uint32_t indexes = 0;
};

// A fault: the file is damaged or inconsistent.
struct CheckProblem {
    std::string text;    // what is wrong, and where
    std::string remedy;  // what a compaction does about it, and what that loses
};

struct CheckReport {
    std::vector<CheckProblem> problems;
    // For each damaged table whose repair could be worked out: what a
    // compaction keeps, drops and changes in it.
    std::vector<std::string> repairs;
    // Harmless staleness that a compaction rewrites (row counts, stale map
    // entries); listed, but not faults.
    std::vector<std::string> notes;
    std::vector<TableSummary> tables;
    uint32_t pageCount = 0;
    uint32_t reachablePages = 0;
    uint64_t deadRowBytes = 0;      // deleted rows and overflow stubs on live pages
    uint64_t freeBytesOnPages = 0;  // unused space on live data pages
    bool ok() const { return problems.empty(); }
    uint32_t unreachablePages() const { return pageCount - reachablePages; }
};

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

// env: the calls the engine makes on the file (none: the system's own).
Result<DatabaseInfo> databaseInfo(const std::string& path, const std::string& password,
                                  Env* env = nullptr);
Result<CheckReport> checkFile(const std::string& path, const std::string& password,
                              Env* env = nullptr);
// Writes every row of the named tables (all local tables when none are named).
Status dumpFile(const std::string& path, const std::string& password,
                const std::vector<std::string>& tables, std::ostream& out, Env* env = nullptr);

}  // namespace jet
