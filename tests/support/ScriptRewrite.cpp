#include "support/ScriptRewrite.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>

#include "format/Bytes.h"
#include "format/DataPage.h"
#include "format/IndexPage.h"
#include "format/Row.h"
#include "format/Text.h"
#include "format/UsageMap.h"
#include "jet/Env.h"
#include "keys/KeyEncoding.h"
#include "read/Database.h"
#include "support/DamageLayout.h"
#include "support/EngineReads.h"
#include "write/IndexTreeStream.h"

namespace testsupport {

namespace {

[[noreturn]] void refuse(const std::string& what) {
    throw std::runtime_error("rewriting text: " + what);
}

// Capital letters, whose keys all differ (the counting digits), and text to
// fill a value with: words, accents, punctuation and a hyphen and an
// apostrophe (special characters in a key). No unit has a low byte of 00,
// which in a compressed value would switch back to one byte a unit.
struct Letters {
    std::u16string digits, filler;
};

const Letters& lettersOf(Script s) {
    static const Letters greek{
        u"ΑΒΓΔΕΖΗΘΙΚΛΜΝΞΟΠΡΣΤΥΦΧΨΩ",
        u" Εμπορική Αθηνών-Πειραιώς & Υιοί, Θεσσαλονίκη «Καφές» Ϊΐ τ' Ωραία Πάτρα ελαιόλαδο"};
    static const Letters cyrillic{u"АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЭЮЯ",
                                  u" Торговый дом «Москва»-Санкт-Петербург, ёлка и Ко' Новгород"};
    static const Letters cjk{u"東京大阪北海公司株式会社商店山田川港市高石中木品",
                             u"北海道商店東京株式会社大阪中山田川港市高石木品"};
    switch (s) {
        case Script::kGreek:
            return greek;
        case Script::kCyrillic:
            return cyrillic;
        case Script::kCjk:
            break;
    }
    return cjk;
}

// A value to rewrite: where its bytes lie in the file, and what it held.
struct Site {
    std::size_t offset = 0, length = 0;
    std::u16string text;
};

// Units a stored value of this length holds once rewritten: FF FE 00 and
// UTF-16 for an odd length, plain UTF-16 for an even one.
std::size_t unitsFor(std::size_t length) { return length % 2 ? (length - 3) / 2 : length / 2; }

jet::Bytes storedForm(const std::u16string& text, std::size_t length) {
    jet::Bytes out;
    if (length % 2) out = {0xFF, 0xFE, 0x00};
    for (char16_t c : text) {
        if (length % 2 && (c & 0xFF) == 0) refuse("a unit the compressed form cannot hold");
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (out.size() != length) refuse("a value that does not keep its length");
    return out;
}

// The file held in memory, its pages decoded.
class Image {
  public:
    Image(const fs::path& file, uint32_t key)
        : file_(file), key_(key), bytes_(decodedPages(readFile(file), key)) {}
    uint8_t* at(std::size_t offset) { return reinterpret_cast<uint8_t*>(bytes_.data()) + offset; }
    uint32_t pages() const { return static_cast<uint32_t>(bytes_.size() / jet::kPageSize); }
    jet::Page page(uint32_t p) const { return pageCopy(bytes_, p); }
    void write(uint32_t p, const jet::Page& page) {
        if (p >= pages()) bytes_.resize((std::size_t{p} + 1) * jet::kPageSize, '\0');
        std::copy(page.begin(), page.end(), at(std::size_t{p} * jet::kPageSize));
    }
    // The bytes of row `row` of data page p.
    std::pair<std::size_t, std::size_t> row(uint32_t p, uint8_t row) const {
        const jet::DataPage dp = jet::parseDataPage(page(p), p);
        if (row >= dp.slots.size()) refuse("a row beyond its page's slots");
        return {std::size_t{p} * jet::kPageSize + dp.slots[row].start, dp.slots[row].length()};
    }
    jet::ByteView rowView(jet::RowPtr r) {
        auto [off, len] = row(r.page, r.row);
        return {at(off), len};
    }
    void save() const { writeFile(file_, encodedPages(bytes_, key_)); }

  private:
    fs::path file_;
    uint32_t key_;
    std::string bytes_;
};

// Hands out the old tree's pages, then pages after the end of the file.
// A tree written anew into the image: over the pages of the old one first,
// then past the end of the file.
struct ImagePages final : jet::TreePages {
    explicit ImagePages(Image& i) : image(i) {}
    Image& image;
    std::vector<uint32_t> old;
    uint32_t end = 0;
    std::size_t used = 0, added = 0;
    uint32_t allocate() override {
        return used < old.size() ? old[used++] : end + static_cast<uint32_t>(added++);
    }
    void write(uint32_t p, const jet::Page& page) override { image.write(p, page); }
};

// Where a byte of a definition's logical buffer lies in the file: the
// whole first page, then bytes 8.. of each page after it.
std::size_t definitionOffset(const jet::TableDef& def, std::size_t logical) {
    constexpr std::size_t kMore = jet::kPageSize - 8;
    if (logical < jet::kPageSize) return std::size_t{def.pages.at(0)} * jet::kPageSize + logical;
    const std::size_t k = (logical - jet::kPageSize) / kMore;
    return std::size_t{def.pages.at(1 + k)} * jet::kPageSize + 8 +
           (logical - jet::kPageSize) % kMore;
}

void putDefinition32(Image& image, const jet::TableDef& def, std::size_t logical, uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        *image.at(definitionOffset(def, logical + i)) = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

const std::vector<TextColumn>& sampleTradersText() {
    static const std::vector<TextColumn> columns = {
        {"Customers", "CustomerID"}, {"Orders", "CustomerID"},     {"Customers", "CompanyName"},
        {"Customers", "City"},       {"Suppliers", "CompanyName"}, {"Categories", "CategoryName"},
        {"Products", "ProductName"}, {"Employees", "LastName"},    {"Orders", "ShipPostalCode"},
    };
    return columns;
}

std::u16string scriptText(Script script, std::size_t k, std::size_t width, std::size_t m) {
    const Letters& l = lettersOf(script);
    std::u16string out(width, u' ');
    for (std::size_t i = width; i-- > 0; k /= l.digits.size())
        out[i] = l.digits[k % l.digits.size()];
    for (std::size_t j = 0; out.size() < m; ++j) out.push_back(l.filler[j % l.filler.size()]);
    out.resize(m);
    if (!out.empty() && out.back() == u' ') out.back() = l.digits.front();
    return out;
}

namespace {

struct Table {
    const jet::TableDef* def = nullptr;
    std::set<uint16_t> columns;          // numbers of the columns rewritten
    std::vector<jet::RowLocation> rows;  // every live row
};

// The values of one column, and (once) the rows of its table.
void collectSites(jet::Database& db, const Image& image, Table& t, const jet::Column& c,
                  std::vector<Site>& sites) {
    const bool rowsKnown = !t.rows.empty();
    db.scanRows(*t.def, [&](const jet::RowLocation& loc, jet::ByteView r) {
        if (!rowsKnown) t.rows.push_back(loc);
        auto [start, length] = image.row(loc.data.page, loc.data.row);
        if (length != r.size()) refuse("a row whose bytes the page does not give");
        const jet::RowView rv = jet::crackRow(*t.def, r, loc.data.page, loc.data.row);
        auto stored = jet::columnBytes(*t.def, c, rv, loc.data.page, loc.data.row);
        if (!stored) return;
        sites.push_back({start + static_cast<std::size_t>(stored->data() - r.data()),
                         stored->size(), jet::decodeText(*stored)});
    });
}

Table& tableOf(jet::Database& db, std::map<std::string, Table>& tables, const std::string& name) {
    Table& t = tables[name];
    if (t.def) return t;
    for (const auto& e : db.localTables()) {
        if (e.name == name) t.def = &db.tableDef(e.tdefPage(), e.name);
    }
    if (!t.def) refuse("no table '" + name + "'");
    return t;
}

const jet::Column& textColumn(const jet::TableDef& def, const std::string& name) {
    for (const auto& c : def.columns) {
        if (c.name != name) continue;
        if (c.type != static_cast<uint8_t>(jet::ColumnType::kText) || c.fixed())
            refuse("'" + name + "' is not a variable-length text column");
        if (!jet::isGeneralLegacy(c.sortLcid, c.sortVersion))
            refuse("'" + name + "' is not in the General order");
        return c;
    }
    refuse("no column '" + name + "' in '" + def.name + "'");
}

// Writes the new values: the k-th distinct value of each length becomes
// the k-th text of its units.
void rewriteSites(Image& image, const std::vector<Site>& sites, Script script,
                  RewriteReport& report) {
    std::map<std::size_t, std::map<std::u16string, std::size_t>> byUnits;
    for (const Site& s : sites) byUnits[unitsFor(s.length)][s.text] = 0;
    std::map<std::size_t, std::size_t> width;
    const std::size_t base = lettersOf(script).digits.size();
    for (auto& [m, values] : byUnits) {
        std::size_t k = 0, w = 1, span = base;
        for (; span < values.size(); ++w) span *= base;
        if (m > 0 && w > m) refuse("more values of " + std::to_string(m) + " units than letters");
        for (auto& [text, rank] : values) rank = k++;
        width[m] = w;
    }
    for (const Site& s : sites) {
        const std::size_t m = unitsFor(s.length);
        if (m == 0) {
            ++report.unchanged;
            continue;
        }
        const jet::Bytes b =
            storedForm(scriptText(script, byUnits[m][s.text], width[m], m), s.length);
        std::copy(b.begin(), b.end(), image.at(s.offset));
        ++report.values;
    }
}

// The index's entries for the rows as they are now, in key order.
std::vector<jet::IndexEntry> entriesOf(Image& image, const Table& t, const jet::RealIndex& ri) {
    const auto shape = jet::keyShape(*t.def, ri);
    std::vector<jet::IndexEntry> entries;
    for (const auto& loc : t.rows) {
        const jet::RowView rv =
            jet::crackRow(*t.def, image.rowView(loc.data), loc.data.page, loc.data.row);
        auto key = jet::encodeRowKey(*t.def, ri, rv, loc.data.page, loc.data.row);
        if (!key) refuse("a row the encoder cannot key");
        if (ri.ignoreNulls() && jet::keyHasNullPart(*key, shape).value_or(false)) continue;
        entries.push_back({jet::IndexKey(*key), loc.slot, 0});
    }
    std::sort(entries.begin(), entries.end(),
              [](const jet::IndexEntry& a, const jet::IndexEntry& b) {
                  const int c = jet::compareKeys(a.key, b.key);
                  return c != 0 ? c < 0 : a.row < b.row;
              });
    return entries;
}

// A map row (inline) listing exactly these pages.
void rewriteMap(Image& image, jet::RowPtr where, std::vector<uint32_t> pages) {
    auto [off, len] = image.row(where.page, where.row);
    if (len == 0 || *image.at(off) != 0x00) refuse("an index map that is not inline");
    std::sort(pages.begin(), pages.end());
    jet::Bytes row;
    if (!jet::buildInlineMap(pages, row, len) || row.size() != len)
        refuse("an index map too small for its new pages");
    std::copy(row.begin(), row.end(), image.at(off));
}

// Marks pages used in the global map (page 1, row 0: a set bit is free).
void markUsed(Image& image, const std::vector<uint32_t>& pages) {
    auto [off, len] = image.row(1, 0);
    if (len < 5 || *image.at(off) != 0x00) refuse("a global map that is not inline");
    const uint32_t start = jet::u32(jet::ByteView(image.at(off), len), 1);
    for (uint32_t p : pages) {
        const std::size_t bit = p - start;
        if (p < start || 5 + bit / 8 >= len) refuse("a global map too small for added pages");
        *image.at(off + 5 + bit / 8) &= static_cast<uint8_t>(~(1u << (bit % 8)));
    }
}

void rewriteIndex(jet::Database& db, Image& image, const Table& t, const jet::RealIndex& ri,
                  RewriteReport& report) {
    const jet::TableDef& def = *t.def;
    const std::vector<jet::IndexEntry> entries = entriesOf(image, t, ri);
    ImagePages list(image);
    list.old = jet::readIndexTree(db.file(), ri.rootPage, def.firstPage, def.name).pages;
    std::sort(list.old.begin(), list.old.end());
    list.end = image.pages();
    std::vector<uint32_t> pages;
    jet::IndexTreeStream tree(list, def.firstPage, std::numeric_limits<std::size_t>::max(), {});
    for (const jet::IndexEntry& e : entries) tree.add(jet::ByteView(e.key), e.row);
    const uint32_t root = tree.finish(pages);
    for (std::size_t i = list.used; i < list.old.size(); ++i) image.write(list.old[i], jet::Page{});
    std::vector<uint32_t> added;
    for (uint32_t p : pages) {
        if (p >= list.end) added.push_back(p);
    }
    if (!added.empty()) markUsed(image, added);
    putDefinition32(image, def, ri.blockOffset + jet::kRealIndexRoot, root);
    if (!ri.usageMap.isNull()) rewriteMap(image, ri.usageMap, pages);
    report.pagesAdded += list.added;
    ++report.indexes;
}

}  // namespace

RewriteReport rewriteInScript(const fs::path& file, const std::string& password,
                              const std::vector<TextColumn>& columns, Script script) {
    auto db = jet::Database::open(jet::Env::standard(), file.string(), password);
    Image image(file, db->header().databaseKey);
    std::map<std::string, Table> tables;
    std::vector<Site> sites;
    for (const TextColumn& tc : columns) {
        Table& t = tableOf(*db, tables, tc.table);
        const jet::Column& c = textColumn(*t.def, tc.column);
        t.columns.insert(c.number);
        collectSites(*db, image, t, c, sites);
    }
    RewriteReport report;
    rewriteSites(image, sites, script, report);
    for (const auto& named : tables) {
        const Table& t = named.second;
        for (const auto& ri : t.def->realIndexes) {
            const bool touched =
                std::any_of(ri.columns.begin(), ri.columns.end(),
                            [&](const auto& ic) { return t.columns.count(ic.column); });
            if (touched) rewriteIndex(*db, image, t, ri, report);
        }
    }
    db.reset();
    image.save();
    return report;
}

}  // namespace testsupport
