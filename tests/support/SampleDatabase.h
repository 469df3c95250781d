// Databases built by our own builder, for tests that need no Microsoft-made
// file: a table of every common type with a primary key and secondary
// indexes, long values in all three forms, deleted rows and unused pages.
#pragma once

#include <string>

#include "builder/Builder.h"

namespace testsupport {

struct SampleOptions {
    std::string password;
    uint32_t databaseKey = 0;
    int rows = 300;
    bool deadSpace = true;  // deleted rows and unused pages
};

// Builds the sample at path; throws std::runtime_error when the builder fails.
void buildSampleDatabase(const std::string& path, const SampleOptions& options = {});
// The bytes of such a database.
std::string sampleDatabaseBytes(const SampleOptions& options = {});

// The value the sample puts in row i, column k (what a reader must give back).
jet::Value sampleValue(int row, std::size_t column);
jet::BuildTable sampleTable();

}  // namespace testsupport
