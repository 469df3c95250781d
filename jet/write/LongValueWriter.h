// Long values (memo, OLE) stored out of their rows, on LVAL pages of their
// column's own: one row for a value that fits, a chain of rows otherwise.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "format/Bytes.h"
#include "format/DataPage.h"
#include "format/LongValue.h"
#include "write/OutputFile.h"
#include "write/PageAllocator.h"
#include "write/PageBuilder.h"

namespace jet {

inline constexpr std::size_t kInlineLimit = 64;       // long values up to this size stay in the row
inline constexpr std::size_t kSingleRowLimit = 4076;  // larger values are chained
inline constexpr std::size_t kChainChunkLimit = 4072;
inline constexpr std::size_t kMinChunk = 64;  // smaller leftovers start a chain on a new page

// Stores long values of one column on its own LVAL pages.
class LongValueWriter {
  public:
    LongValueWriter(PageAllocator& alloc, OutputFile& out) : alloc_(alloc), out_(out) {}

    using Header = std::array<uint8_t, kLongValueHeaderSize>;
    // Stores a value too large for its row; returns the 12-byte header.
    Header store(ByteView value, bool chained = false);

    void finish();

    const std::vector<uint32_t>& pages() const { return pages_; }

  private:
    // Starts a new page; the chunk in slot patch (on the page being left)
    // is pointed at slot 0 of the new page before the old page is written.
    void openPage(std::optional<uint8_t> patch);

    PageAllocator& alloc_;
    OutputFile& out_;
    DataPageBuilder builder_{kOwnerLval};
    uint32_t page_ = 0;
    std::vector<uint32_t> pages_;
    Bytes chunk_;  // a chain row being built
};

}  // namespace jet
