#include "jet/PageBuilder.h"

#include <algorithm>

namespace jet {

Page DataPageBuilder::build() const {
    Page p{};
    p[0] = kPageData;
    p[1] = 0x01;
    put16(p.data() + 2, static_cast<uint16_t>(kPageSize - used_));
    put32(p.data() + 4, owner_);
    put16(p.data() + 12, static_cast<uint16_t>(rows_.size()));
    std::size_t end = kPageSize;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        end -= rows_[i].size();
        std::copy(rows_[i].begin(), rows_[i].end(), p.begin() + static_cast<std::ptrdiff_t>(end));
        put16(p.data() + 14 + 2 * i, static_cast<uint16_t>(end | flags_[i]));
    }
    return p;
}

}  // namespace jet
