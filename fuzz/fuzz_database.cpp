// The whole path: open, check, dump and compact a file made of the input.
#include <unistd.h>

#include <sstream>

#include "fuzz/FuzzSupport.h"
#include "jet/Check.h"
#include "jet/Compact.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096 * 64) return 0;
    fuzz::MemFile mem(data, size);
    if (!mem.ok()) return 0;
    (void)jet::checkFile(mem.path(), "");
    std::ostringstream sink;
    (void)jet::dumpFile(mem.path(), "", {}, sink);
    const std::string out = "/tmp/jet4-fuzz-" + std::to_string(::getpid()) + ".mdb";
    ::unlink(out.c_str());
    jet::CompactRequest req{mem.path(), "", out, "", true};
    auto r = jet::compactFile(req);
    if (r.ok()) {
        // A copy that the engine reports good must check clean.
        auto c = jet::checkFile(out, "");
        if (!c.ok() || !c.value().ok()) __builtin_trap();
    }
    ::unlink(out.c_str());
    return 0;
}
