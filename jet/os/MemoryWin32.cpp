// Memory of its own for large arrays on Windows: pages committed by
// VirtualAlloc, which come zeroed. Large pages would need a privilege most
// users lack, so these are the system's ordinary pages.
#include <windows.h>

#include "os/LargeArray.h"

namespace jet {

void* mapLarge(std::size_t bytes) {
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmapLarge(void* p, std::size_t) { VirtualFree(p, 0, MEM_RELEASE); }

}  // namespace jet
