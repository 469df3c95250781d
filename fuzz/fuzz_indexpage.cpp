// Index pages: parsing, and building a page again from what was parsed.
#include <algorithm>

#include "format/IndexPage.h"
#include "jet/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    jet::Page page{};
    std::copy(data, data + std::min(size, page.size()), page.begin());
    jet::IndexPage ip;
    try {
        ip = jet::parseIndexPage(page, 7);
    } catch (const jet::JetException&) {
        return 0;
    }
    std::size_t total = 0;
    std::vector<const jet::IndexEntry*> entries;
    for (const auto& e : ip.entries) {
        total += jet::indexEntrySize(e, !ip.leaf());
        entries.push_back(&e);
    }
    if (total > jet::kIndexDataMax) return 0;
    jet::Page rebuilt = jet::buildIndexPage(ip.type, ip.owner, ip.prev, ip.next, ip.tail, entries);
    jet::IndexPage again = jet::parseIndexPage(rebuilt, 7);
    if (again.entries.size() != ip.entries.size()) __builtin_trap();
    for (std::size_t i = 0; i < ip.entries.size(); ++i) {
        if (again.entries[i].key != ip.entries[i].key || again.entries[i].row != ip.entries[i].row)
            __builtin_trap();
    }
    return 0;
}
