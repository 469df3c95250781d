// Generates a realistic database of about the size asked for: several tables
// with a primary key and two secondary indexes each, text and memo values of
// varied length, about 30% of the rows deleted after insertion, and some
// unused pages. Deterministic for a given size and seed.
//
// Usage: jet4-generate OUT.mdb SIZE_MB [--password P] [--seed N]
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

#include "builder/Builder.h"

namespace {

using jet::ColumnType;
using jet::Value;

const char* kWords[] = {"alpha",  "bravo",    "charlie", "delta",  "echo",    "foxtrot",
                        "golf",   "hotel",    "india",   "juliet", "kilo",    "lima",
                        "mike",   "november", "oscar",   "papa",   "quebec",  "romeo",
                        "sierra", "tango",    "uniform", "victor", "whiskey", "x-ray",
                        "yankee", "zulu",     "Müller",  "O'Neil", "Åsa",     "café"};

std::string words(std::mt19937& rng, std::size_t minLen, std::size_t maxLen) {
    std::uniform_int_distribution<std::size_t> len(minLen, maxLen);
    std::uniform_int_distribution<std::size_t> w(0, sizeof kWords / sizeof kWords[0] - 1);
    const std::size_t target = len(rng);
    std::string s;
    while (s.size() < target) {
        if (!s.empty()) s += ' ';
        s += kWords[w(rng)];
    }
    std::size_t cut = std::min(target, s.size());
    while (cut > 0 && cut < s.size() && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80)
        --cut;  // whole characters
    return s.substr(0, cut);
}

std::vector<jet::BuildTable> schema() {
    std::vector<jet::BuildTable> tables;
    for (const char* name : {"Customers", "Orders", "Products", "Notes"}) {
        tables.push_back({name,
                          {{"ID", ColumnType::kLong, 0, true},
                           {"Code", ColumnType::kLong},
                           {"Name", ColumnType::kText, 80},
                           {"Created", ColumnType::kDateTime},
                           {"Amount", ColumnType::kMoney},
                           {"Flag", ColumnType::kBool},
                           {"Remarks", ColumnType::kText, 255},
                           {"Body", ColumnType::kMemo}},
                          {{"PrimaryKey", {{"ID", true}}, true},
                           {"ByName", {{"Name", true}}},
                           {"ByCreated", {{"Created", true}, {"Code", true}}}}});
    }
    return tables;
}

// The values of one row of schema()'s tables, drawn in column order.
std::vector<Value> randomRow(std::mt19937& rng, std::uniform_int_distribution<int>& pct) {
    return {std::monostate{},
            static_cast<int64_t>(rng() % 100000),
            words(rng, 5, 60),
            36000.0 + static_cast<double>(rng() % 3000000) / 100.0,
            static_cast<int64_t>(rng() % 100000000),
            pct(rng) < 50,
            pct(rng) < 20 ? Value{} : Value{words(rng, 0, 200)},
            pct(rng) < 10 ? Value{} : Value{words(rng, 10, pct(rng) < 5 ? 6000 : 900)}};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: jet4-generate OUT.mdb SIZE_MB [--password P] [--seed N]\n";
        return 2;
    }
    const std::string out = argv[1];
    const double sizeMb = std::atof(argv[2]);
    jet::BuildOptions options;
    unsigned seed = 1;
    for (int i = 3; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--password")
            options.password = argv[i + 1];
        else if (a == "--seed")
            seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
    }
    // About 840 bytes of file a row (row, memo, index entries, deleted share).
    const uint64_t rowsTotal = static_cast<uint64_t>(sizeMb * 1024 * 1024 / 840);
    const auto tables = schema();
    auto built = jet::DatabaseBuilder::create(out, options, tables);
    if (!built) {
        std::cerr << "jet4-generate: " << built.error().description << "\n";
        return 1;
    }
    auto& b = *built.value();
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pct(0, 99);
    for (std::size_t t = 0; t < tables.size(); ++t) {
        const uint64_t rows = rowsTotal / tables.size();
        for (uint64_t r = 0; r < rows; ++r) {
            const std::vector<Value> v = randomRow(rng, pct);
            const bool deleted = pct(rng) < 30;
            auto s = b.addRow(t, v, deleted);
            if (!s) {
                std::cerr << "jet4-generate: " << s.error().description << "\n";
                return 1;
            }
            if (r % 5000 == 4999) (void)b.addUnusedPages(3);
        }
    }
    auto f = b.finish();
    if (!f) {
        std::cerr << "jet4-generate: " << f.error().description << "\n";
        return 1;
    }
    return 0;
}
