// Comparing table contents between our reader and mdbtools.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// The user tables of a file as mdbtools lists them.
std::vector<std::string> mdbTables(const std::string& file);
// Rows of a table through mdb-json, each normalised to one canonical line, sorted.
std::vector<std::string> mdbRows(const std::string& file, const std::string& table);
// The same through our engine's dump; empty with error set when it fails.
std::vector<std::string> ourRows(const std::string& file, const std::string& password,
                                 const std::string& table, std::string& error);
// Normalises JSON lines: nulls dropped, numbers compared as numbers, Yes/No as 0/1.
std::vector<std::string> canonicalRows(const std::string& jsonLines);

}  // namespace testsupport
