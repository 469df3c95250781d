#include "jet/PageBuilder.h"

#include <algorithm>

namespace jet {

Page DataPageBuilder::build() const {
    Page p = page_;
    p[0] = kPageData;
    p[1] = 0x01;
    put16(p.data() + 2, static_cast<uint16_t>(kPageSize - used_));
    put32(p.data() + 4, owner_);
    put16(p.data() + 12, static_cast<uint16_t>(count_));
    return p;
}

}  // namespace jet
