// Gives out the pages of the file being written, in turn, up to the format's
// limit.
#pragma once

#include <cstdint>

#include "format/Page.h"
#include "util/Failure.h"

namespace jet {

class PageAllocator {
  public:
    explicit PageAllocator(uint32_t first) : next_(first) {}
    uint32_t allocate() {
        if (next_ >= kMaxPages) {
            fail(ErrorCode::kTooLarge,
                 "The compacted database would exceed the format's 2 GB limit.");
        }
        return next_++;
    }
    uint32_t count() const { return next_; }

  private:
    uint32_t next_;
};

}  // namespace jet
