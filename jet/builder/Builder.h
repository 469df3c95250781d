// Builds a new Jet 4 database from nothing, as the engine's "create
// database" does: page 0 (creation date, code page, the General sort order,
// optionally a password and a key for encoded pages), the system tables with
// their rows and indexes, then user tables with their rows, indexes and long
// values. Rows can be written deleted and pages left unused, so that a built
// database has dead space for a compaction to reclaim.
//
// Tables are filled in the order they were declared; each table's indexes
// are written when the next table starts (or at finish()).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "format/Date.h"
#include "util/Failure.h"
#include "write/RowEncoder.h"
#include "write/TableSchema.h"

namespace jet {

// Tables are described as the table writer takes them.
using BuildColumn = ColumnSchema;
using BuildIndex = IndexSchema;
using BuildTable = TableSchema;

enum class LongValueForm { kBySize, kInline, kSingle, kChain };

struct BuildOptions {
    double creationDate = dateValue(std::chrono::year{2023} / 3 / 15) + 0.5;  // at noon
    uint16_t codePage = 1252;
    std::string password;      // none when empty
    uint32_t databaseKey = 0;  // non-zero: pages are encoded
};

class DatabaseBuilder {
  public:
    // Creates the file (which must not exist) and writes the system tables.
    static Result<std::unique_ptr<DatabaseBuilder>> create(const std::string& path,
                                                           const BuildOptions& options,
                                                           std::vector<BuildTable> tables);
    ~DatabaseBuilder();
    DatabaseBuilder(const DatabaseBuilder&) = delete;
    DatabaseBuilder& operator=(const DatabaseBuilder&) = delete;

    // One value a column, in declaration order. A deleted row takes space
    // on its page but belongs to no index and is not counted.
    Status addRow(std::size_t table, const std::vector<Value>& values, bool deleted = false,
                  LongValueForm form = LongValueForm::kBySize);
    // Pages nothing refers to, as the engine leaves them behind.
    Status addUnusedPages(uint32_t count);
    // Writes the indexes, maps, definitions and page 0, and flushes the file.
    Status finish();

    class Impl;

  private:
    explicit DatabaseBuilder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace jet
