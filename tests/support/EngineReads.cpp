#include "support/EngineReads.h"

#include "format/Text.h"

namespace jet {

IndexTree readIndexTree(PageFile& file, uint32_t root, uint32_t owner, const std::string& what) {
    IndexTree tree;
    std::vector<IndexEntry> entries;
    walkIndexTreeParts(file, root, owner, what, tree, [&](ByteView a, ByteView b, RowPtr row) {
        IndexEntry& e = entries.emplace_back();
        e.key.assign(a, b);
        e.row = row;
    });
    tree.entries = std::move(entries);
    return tree;
}

}  // namespace jet

namespace testsupport {

std::string storedPassword(const jet::Header& h) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < jet::kPasswordBytes; i += 2) {
        const auto c = static_cast<char16_t>(h.password[i] | (h.password[i + 1] << 8));
        if (c == 0) break;
        units.push_back(c);
    }
    return jet::utf16ToUtf8(units);
}

}  // namespace testsupport
