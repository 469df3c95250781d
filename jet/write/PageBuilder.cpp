#include "write/PageBuilder.h"

#include <algorithm>

namespace jet {

const Page& DataPageBuilder::build() {
    Page& p = page_;
    const std::size_t slotsEnd = 14 + 2 * count_;
    std::fill(p.begin() + static_cast<std::ptrdiff_t>(slotsEnd),
              p.begin() + static_cast<std::ptrdiff_t>(end_), uint8_t{0});
    put32(p.data() + 8, 0);
    p[0] = kPageData;
    p[1] = 0x01;
    put16(p.data() + 2, static_cast<uint16_t>(kPageSize - used_));
    put32(p.data() + 4, owner_);
    put16(p.data() + 12, static_cast<uint16_t>(count_));
    return p;
}

}  // namespace jet
