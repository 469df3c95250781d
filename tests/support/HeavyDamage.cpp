#include "support/HeavyDamage.h"

#include <algorithm>
#include <numeric>
#include <set>

#include "format/Header.h"

namespace testsupport {

namespace {

void harmPage(std::string& bytes, uint32_t p, bool garbage, Rng& rng) {
    uint8_t* at = pageBytes(bytes, p);
    for (std::size_t i = 0; i < 4096; ++i) at[i] = garbage ? static_cast<uint8_t>(rng()) : 0;
}

bool garbageOf(PageHarm harm, Rng& rng) {
    return harm == PageHarm::kGarbage || (harm == PageHarm::kEither && rng() % 2 == 0);
}

// Every index leaf of the file's tables, user and system.
std::vector<uint32_t> leavesOf(const Layout& l) {
    std::vector<uint32_t> out;
    for (const auto* tables : {&l.tables, &l.systemTables}) {
        for (const auto& t : *tables) {
            for (const auto& leaves : t.indexLeaves) out.insert(out.end(), leaves.begin(), leaves.end());
        }
    }
    return out;
}

// The catalogue's unique index on (ParentId, Name): its leaves.
std::vector<uint32_t> catalogueNameLeaves(const Layout& l) {
    for (const auto& t : l.systemTables) {
        if (t.def.firstPage != 2) continue;
        for (std::size_t i = 0; i < t.def.realIndexes.size(); ++i) {
            if (t.def.realIndexes[i].unique() && t.def.realIndexes[i].columns.size() == 2)
                return t.indexLeaves[i];
        }
    }
    return {};
}

HeavyKind pages(const std::string& what, double fraction, PageHarm harm) {
    return {what, [=](std::string& b, const Layout&, Rng& g) {
                return !harmPages(b, fraction, harm, g).empty();
            }};
}

}  // namespace

std::vector<uint32_t> harmPages(std::string& bytes, double fraction, PageHarm harm, Rng& rng) {
    const auto count = static_cast<uint32_t>(bytes.size() / 4096);
    if (count == 0) return {};
    std::vector<uint32_t> all(count);
    std::iota(all.begin(), all.end(), 0u);
    std::shuffle(all.begin(), all.end(), rng);
    const auto n = std::max<std::size_t>(1, static_cast<std::size_t>(fraction * count + 0.5));
    all.resize(std::min<std::size_t>(n, all.size()));
    for (uint32_t p : all) harmPage(bytes, p, garbageOf(harm, rng), rng);
    std::sort(all.begin(), all.end());
    return all;
}

std::string lfToCrLf(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 64);
    for (char c : bytes) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

std::string crLfToLf(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        out.push_back(bytes[i]);
    }
    return out;
}

void insertBytes(std::string& bytes, std::size_t at, std::size_t n, Rng& rng) {
    std::string run(n, '\0');
    for (char& c : run) c = static_cast<char>(rng());
    bytes.insert(std::min(at, bytes.size()), run);
}

void removeBytes(std::string& bytes, std::size_t at, std::size_t n) {
    if (at < bytes.size()) bytes.erase(at, std::min(n, bytes.size() - at));
}

void damageHeaderField(std::string& bytes, HeaderField field, Rng& rng) {
    std::size_t at = 0, n = 0;
    switch (field) {
        case HeaderField::kVersion:
            at = 0x14, n = 1;
            break;
        case HeaderField::kCreationDate:
            at = jet::kCreationDateOffset, n = 8;
            break;
        case HeaderField::kCodePage:
            at = 0x3C, n = 2;
            break;
        case HeaderField::kSortOrder:
            at = 0x6E, n = 4;
            break;
    }
    // Every byte of the field changed (the masked ones through the mask: a
    // change of a stored byte is the same change of the decoded one).
    for (std::size_t i = 0; i < n; ++i)
        bytes[at + i] = static_cast<char>(bytes[at + i] ^ static_cast<char>(1 + rng() % 255));
}

std::vector<HeavyKind> heavyKinds() {
    std::vector<HeavyKind> kinds;
    for (double f : {0.01, 0.05, 0.2}) {
        const std::string pct = std::to_string(static_cast<int>(f * 100 + 0.5)) + "%";
        kinds.push_back(pages(pct + " of pages zeroed", f, PageHarm::kZeroed));
        kinds.push_back(pages(pct + " of pages garbage", f, PageHarm::kGarbage));
    }
    kinds.push_back({"5% of pages harmed, index leaves scrambled, a usage map zeroed",
                     [](std::string& b, const Layout& l, Rng& g) {
                         harmPages(b, 0.05, PageHarm::kEither, g);
                         std::vector<uint32_t> leaves = leavesOf(l);
                         std::shuffle(leaves.begin(), leaves.end(), g);
                         leaves.resize(std::min<std::size_t>(leaves.size(), 3));
                         for (uint32_t p : leaves) {
                             for (std::size_t i = 8; i < 4096; ++i)
                                 pageBytes(b, p)[i] = static_cast<uint8_t>(g());
                         }
                         if (const uint32_t* m = pickOne(l.mapPages, g))
                             std::fill_n(pageBytes(b, *m), 4096, 0);
                         return true;
                     }});
    kinds.push_back({"the catalogue's name index leaf zeroed, and 1% of pages",
                     [](std::string& b, const Layout& l, Rng& g) {
                         const std::vector<uint32_t> leaves = catalogueNameLeaves(l);
                         if (leaves.empty()) return false;
                         for (uint32_t p : leaves) std::fill_n(pageBytes(b, p), 4096, 0);
                         harmPages(b, 0.01, PageHarm::kEither, g);
                         return true;
                     }});
    kinds.push_back({"every index leaf zeroed", [](std::string& b, const Layout& l, Rng&) {
                         for (uint32_t p : leavesOf(l)) std::fill_n(pageBytes(b, p), 4096, 0);
                         return !leavesOf(l).empty();
                     }});
    kinds.push_back({"text-mode transfer (LF to CR LF)",
                     [](std::string& b, const Layout&, Rng&) {
                         b = lfToCrLf(b);
                         return true;
                     },
                     true});
    kinds.push_back({"text-mode transfer (CR LF to LF)",
                     [](std::string& b, const Layout&, Rng&) {
                         b = crLfToLf(b);
                         return true;
                     },
                     true});
    kinds.push_back({"bytes put in", [](std::string& b, const Layout&, Rng& g) {
                         insertBytes(b, 4096 + g() % (b.size() - 4096), 1 + g() % 100, g);
                         return true;
                     },
                     true});
    kinds.push_back({"bytes taken out", [](std::string& b, const Layout&, Rng& g) {
                         removeBytes(b, 4096 + g() % (b.size() - 8192), 1 + g() % 100);
                         return true;
                     },
                     true});
    const std::pair<const char*, HeaderField> fields[] = {
        {"header: version byte", HeaderField::kVersion},
        {"header: creation date", HeaderField::kCreationDate},
        {"header: code page", HeaderField::kCodePage},
        {"header: sort order", HeaderField::kSortOrder},
    };
    for (const auto& [name, field] : fields) {
        kinds.push_back({name, [field = field](std::string& b, const Layout&, Rng& g) {
                             damageHeaderField(b, field, g);
                             return true;
                         }});
    }
    return kinds;
}

}  // namespace testsupport
