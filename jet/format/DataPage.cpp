#include "format/DataPage.h"

#include <string>

namespace jet {

DataPage parseDataPage(const Page& page, uint32_t number) {
    const Origin o{number, "data page"};
    if (page[0] != kPageData) {
        failDamage("expected a data page, found type " + std::to_string(page[0]), number);
    }
    DataPage dp;
    dp.number = number;
    dp.owner = u32(page, 4, o);
    uint16_t n = u16(page, 12, o);
    if (n > 256 || kDataHeaderSize + 2u * n > kPageSize) failDamage("row count too large", number);
    dp.slots.resize(n);
    uint32_t previous = kPageSize;
    uint32_t tableEnd = static_cast<uint32_t>(kDataHeaderSize + 2u * n);
    for (uint16_t i = 0; i < n; ++i) {
        uint16_t raw = u16(page, kDataHeaderSize + 2u * i, o);
        Slot& s = dp.slots[i];
        s.deleted = (raw & kSlotDeleted) != 0;
        s.overflow = (raw & kSlotOverflow) != 0;
        uint32_t start = raw & 0x1FFFu;
        if (start < tableEnd || start > previous) {
            if (!s.deleted) failDamage("row extent out of bounds", number, i);
            s.start = s.end = static_cast<uint16_t>(previous);
            continue;
        }
        s.start = static_cast<uint16_t>(start);
        s.end = static_cast<uint16_t>(previous);
        previous = start;
    }
    return dp;
}

ByteView rowBytes(const Page& page, const DataPage& dp, uint8_t row, const char* what) {
    if (row >= dp.slots.size()) {
        failDamage(std::string(what) + " points to a missing row", dp.number, row);
    }
    const Slot& s = dp.slots[row];
    return ByteView(page).subspan(s.start, s.length());
}

}  // namespace jet
