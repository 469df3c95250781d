// Long values: the first 12 bytes are the header in the row, the rest fills
// pages 3 and up of a small database whose page 0 is a valid Jet 4 header.
#include <algorithm>
#include <vector>

#include "format/Header.h"
#include "format/LongValue.h"
#include "format/PageFile.h"
#include "fuzz/FuzzSupport.h"
#include "jet/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12) return 0;
    std::vector<uint8_t> file(4096 * 6, 0);
    const char magic[] = "Standard Jet DB";
    file[1] = 1;
    std::copy(magic, magic + sizeof magic, file.begin() + 4);
    file[0x14] = 1;
    jet::maskHeaderRegion(file.data());
    std::copy(data + 12, data + std::min(size, file.size() - 3 * 4096 + 12),
              file.begin() + 3 * 4096);
    fuzz::MemFile mem(file.data(), file.size());
    if (!mem.ok()) return 0;
    try {
        auto pf = jet::PageFile::open(jet::Env::standard(), mem.path());
        (void)jet::readLongValue(*pf, jet::ByteView(data, size), 2, 0);
    } catch (const jet::JetException&) {
    }
    return 0;
}
