// A process setting for programs that compact large databases.
#pragma once

#include <malloc.h>

namespace jet {

// A compaction allocates and frees index trees of tens of megabytes, table
// after table. By default glibc hands such blocks back to the system at once
// and the next table faults them in again page by page; keeping them is
// faster (a tenth on the largest databases). Call once at start-up, before
// any thread starts; without it everything works, only slower.
inline void keepLargeBlocks() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc accepts on 64-bit systems
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
}

}  // namespace jet
