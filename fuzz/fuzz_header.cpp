// Page 0: version detection, header decoding and the password check.
#include <algorithm>

#include "format/Header.h"
#include "util/Failure.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    jet::Page page{};
    std::copy(data, data + std::min(size, page.size()), page.begin());
    try {
        jet::Header h = jet::parseHeader(page, "fuzz");
        (void)h.passwordMatches("password");
        (void)jet::sidKey(h.decoded);
    } catch (const jet::JetException&) {
    }
    return 0;
}
