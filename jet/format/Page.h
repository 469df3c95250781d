// Page size and the page-type bytes of Jet 4.
#pragma once

#include <array>
#include <cstdint>

namespace jet {

inline constexpr uint32_t kPageSize = 4096;
// Page numbers are 24 bits wide in row pointers; the format's limit is 2 GB.
inline constexpr uint32_t kMaxPages = 524288;

using Page = std::array<uint8_t, kPageSize>;

enum PageType : uint8_t {
    kPageHeader = 0x00,
    kPageData = 0x01,
    kPageTableDef = 0x02,
    kPageIndexNode = 0x03,
    kPageIndexLeaf = 0x04,
    kPageUsageBitmap = 0x05,
    // Kinds written by Access 2002 and later that the engine does not read.
    kPageOtherFirst = 0x08,
    kPageOtherLast = 0x09,
};

}  // namespace jet
