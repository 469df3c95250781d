// A digest of a table's content, independent of where rows and long values
// are stored and of row order: the copy must give the digest of the source.
#pragma once

#include <cstdint>

#include "jet/Bytes.h"
#include "jet/TableDef.h"

namespace jet {

class PageFile;

struct TableDigest {
    uint64_t rows = 0;
    uint64_t sum = 0;  // sum of the row hashes
    void add(uint64_t h) {
        ++rows;
        sum += h;
    }
    bool operator==(const TableDigest&) const = default;
};

// Hashes every column value of a row in column-number order, long values
// read in full from file.
uint64_t rowDigest(PageFile& file, const TableDef& def, ByteView row, uint32_t page, int rowNumber);

}  // namespace jet
