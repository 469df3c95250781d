// Reading the rows of a data page that may be damaged. Each slot's extent
// comes from the offset table; where an offset is out of place, the row's
// start is sought between its neighbours' bounds, and taken where both the
// row and its neighbour then read as rows of the table. A row is only taken
// when it reads strictly: its column count, fixed area and variable offsets
// fit the table's definition, and no 512-byte sector under it reads as
// zeros (a torn write).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/Bytes.h"
#include "format/Page.h"
#include "format/Row.h"
#include "format/TableDef.h"

namespace jet {

struct SalvagedSlot {
    enum class State : uint8_t {
        kLive,      // a row of the table, at [start, end)
        kOverflow,  // a pointer to the row elsewhere, at [start, end)
        kDeleted,   // stays deleted
        kBroken,    // live, but no extent reads as a row; why says what is wrong
    };
    State state = State::kDeleted;
    uint16_t start = 0, end = 0;  // a deleted row's too, where its offset stands
    bool recovered = false;       // its offset was damaged and found again
    bool pointer = false;         // the offset carries the overflow flag
    bool offsetLost = false;      // broken: its offset lies outside the page's rows
    std::string why;
};

// Why a row does not read as a row of the table; empty when it does.
std::string rowFault(const TableDef& def, ByteView row);

// The first 512-byte sector of the page that lies (partly) under the row at
// [start, end) and reads as zeros where the row cannot hold zeros alone:
// anywhere but inside one binary value (binary and OLE values may hold
// runs of zeros), or -1.
// Cheaply, whether a sector under [start, end) may read as zeros (its first
// and last words do); tornSectorUnder then says for sure.
bool mayLieOnZeroSector(const Page& page, std::size_t start, std::size_t end);
int tornSectorUnder(const Page& page, const TableDef& def, const RowView& row, std::size_t start,
                    std::size_t end);

// The slots of a data page, each live row checked with rowFault. Overflow
// pointers are not followed here.
std::vector<SalvagedSlot> salvageSlots(const Page& page, const TableDef& def);

}  // namespace jet
