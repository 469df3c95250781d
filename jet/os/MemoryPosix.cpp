// Memory of its own for large arrays on POSIX systems: an anonymous map,
// with the advice to back it by huge pages.
#include <sys/mman.h>

#include "os/LargeArray.h"

namespace jet {

void* mapLarge(std::size_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    (void)::madvise(p, bytes, MADV_HUGEPAGE);  // only advice
#endif
    return p;
}

void unmapLarge(void* p, std::size_t bytes) { ::munmap(p, bytes); }

}  // namespace jet
