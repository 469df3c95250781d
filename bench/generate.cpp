// Generates a database of about the size asked for, in one of several shapes,
// deterministic for a given shape, size and seed:
//
//   mixed      several tables with a primary key and two secondary indexes
//              each, text and memo values of varied length, about 30% of the
//              rows deleted after insertion, and some unused pages (the
//              default)
//   narrow     one table of narrow rows (5.6 million at 1 GB): an AutoNumber
//              primary key and four secondary indexes, three of them on text
//   scrambled  the same, the primary key a unique Long whose order is not
//              the order the rows were stored in
//   tables     2,000 tables of 800 rows at 1 GB (more tables for more size)
//   memo       memo and OLE values of 20 to 500 KB
//   wide       150 columns, a million rows at 1 GB
//   deleted    the mixed shape with 80% of the rows deleted
//   greek      customers and their orders in Greek: company names, cities
//              and customer codes in indexed text columns (stored as UTF-16),
//              the code the customers' primary key and the orders' link
//
// Usage: jet4-generate OUT.mdb SIZE_MB [--shape NAME] [--password P] [--seed N]
#include <cstdlib>
#include <functional>
#include <iostream>
#include <random>
#include <string>

#include "builder/Builder.h"

namespace {

using jet::BuildTable;
using jet::ColumnType;
using jet::Value;

const char* kWords[] = {"alpha",  "bravo",    "charlie", "delta",  "echo",    "foxtrot",
                        "golf",   "hotel",    "india",   "juliet", "kilo",    "lima",
                        "mike",   "november", "oscar",   "papa",   "quebec",  "romeo",
                        "sierra", "tango",    "uniform", "victor", "whiskey", "x-ray",
                        "yankee", "zulu",     "Müller",  "O'Neil", "Åsa",     "café"};

const char* kSyllables[] = {"ba",  "ker",  "son", "mil", "ler", "an",  "der", "wood", "ton", "ra",
                            "ste", "vens", "ma",  "ri",  "no",  "gar", "ci",  "ho",   "lm",  "be",
                            "rg",  "é",    "ka",  "tz",  "ow",  "ski", "lee", "van",  "dor", "ne"};

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

// A name made of syllables, one of about `kinds` different ones.
std::string name(std::mt19937& rng, uint32_t kinds) {
    uint32_t n = static_cast<uint32_t>(rng() % kinds);
    std::string s;
    const uint32_t base = sizeof kSyllables / sizeof kSyllables[0];
    do {
        s += kSyllables[n % base];
        n /= base;
    } while (n != 0);
    s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    return s;
}

// A one-to-one scramble of 0 .. 2^31-1: ascending row numbers become
// unique keys in no particular order.
int64_t scramble(uint32_t i) {
    uint32_t x = i & 0x7FFFFFFFu;
    for (int round = 0; round < 3; ++round) {
        x = (x * 0x2C1B3C6Du + 0x297A2D39u) & 0x7FFFFFFFu;
        x ^= x >> 13;
    }
    return x;
}

// What a shape is: its tables, the rows to add for a given size, and how to
// fill one row (null for an AutoNumber value).
struct Shape {
    std::vector<BuildTable> tables;
    uint64_t rows = 0;  // over all tables
    int deletedPct = 0;
    uint32_t unusedEvery = 0;  // three unused pages after this many rows (0: none)
    std::function<std::vector<Value>(std::size_t table, uint64_t row, std::mt19937&)> fill;
    std::vector<uint64_t> shares;  // of the rows, by table (none: equal)

    uint64_t rowsOf(std::size_t table) const {
        if (shares.empty()) return rows / tables.size();
        uint64_t all = 0;
        for (uint64_t s : shares) all += s;
        return rows * shares[table] / all;
    }
};

BuildTable mixedTable(const std::string& tableName) {
    return {tableName,
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
             {"ByCreated", {{"Created", true}, {"Code", true}}}}};
}

// The values of one row of mixedTable(), drawn in column order (a braced
// list is evaluated in order).
std::vector<Value> mixedRow(std::mt19937& rng, int bodyPct = 90) {
    std::uniform_int_distribution<int> pct(0, 99);
    return {std::monostate{},
            static_cast<int64_t>(rng() % 100000),
            words(rng, 5, 60),
            36000.0 + static_cast<double>(rng() % 3000000) / 100.0,
            static_cast<int64_t>(rng() % 100000000),
            pct(rng) < 50,
            pct(rng) < 20 ? Value{} : Value{words(rng, 0, 200)},
            pct(rng) < 100 - bodyPct ? Value{}
                                     : Value{words(rng, 10, pct(rng) < 5 ? 6000 : 900)}};
}

Shape mixed(double sizeMb, int deletedPct) {
    Shape s;
    for (const char* n : {"Customers", "Orders", "Products", "Notes"})
        s.tables.push_back(mixedTable(n));
    // About 840 bytes of file a row (row, memo, index entries, deleted share).
    s.rows = static_cast<uint64_t>(sizeMb * 1024 * 1024 / 840);
    if (deletedPct > 30) s.rows = static_cast<uint64_t>(sizeMb * 1024 * 1024 / 780);
    s.deletedPct = deletedPct;
    s.unusedEvery = 5000;
    s.fill = [](std::size_t, uint64_t, std::mt19937& rng) { return mixedRow(rng); };
    return s;
}

Shape narrow(double sizeMb, bool scrambled) {
    Shape s;
    BuildTable t{"People",
                 {{"ID", ColumnType::kLong, 0, !scrambled},
                  {"Surname", ColumnType::kText, 40},
                  {"City", ColumnType::kText, 30},
                  {"Email", ColumnType::kText, 60},
                  {"Street", ColumnType::kText, 80},
                  {"Born", ColumnType::kDateTime},
                  {"Score", ColumnType::kLong}},
                 {{"PrimaryKey", {{"ID", true}}, true},
                  {"BySurname", {{"Surname", true}}},
                  {"ByCity", {{"City", true}, {"Surname", true}}},
                  {"ByEmail", {{"Email", true}}},
                  {"ByBorn", {{"Born", true}}}}};
    s.tables.push_back(t);
    // About 5.6 million rows a gigabyte.
    s.rows = static_cast<uint64_t>(sizeMb * 5470);
    s.deletedPct = 5;
    s.fill = [scrambled](std::size_t, uint64_t row, std::mt19937& rng) {
        std::vector<Value> v;
        v.push_back(scrambled ? Value{scramble(static_cast<uint32_t>(row))} : Value{});
        const std::string surname = name(rng, 20000);
        v.push_back(surname);
        v.push_back(name(rng, 400));
        v.push_back(surname + std::to_string(row % 997) + "@" + name(rng, 50) + ".example");
        v.push_back(std::to_string(rng() % 300 + 1) + " " + words(rng, 20, 50));
        v.push_back(10000.0 + static_cast<double>(rng() % 36500));
        v.push_back(static_cast<int64_t>(rng() % 1000000));
        return v;
    };
    return s;
}

Shape manyTables(double sizeMb) {
    Shape s;
    // 2,000 tables of 800 rows a gigabyte.
    const std::size_t count =
        std::max<std::size_t>(1, static_cast<std::size_t>(sizeMb * 2000 / 1024));
    for (std::size_t i = 0; i < count; ++i)
        s.tables.push_back(mixedTable("Table" + std::to_string(i)));
    s.rows = count * 800;
    s.deletedPct = 10;
    s.fill = [](std::size_t, uint64_t, std::mt19937& rng) { return mixedRow(rng, 65); };
    return s;
}

Shape memo(double sizeMb) {
    Shape s;
    s.tables.push_back({"Documents",
                        {{"ID", ColumnType::kLong, 0, true},
                         {"Title", ColumnType::kText, 120},
                         {"Added", ColumnType::kDateTime},
                         {"Body", ColumnType::kMemo},
                         {"Scan", ColumnType::kOle}},
                        {{"PrimaryKey", {{"ID", true}}, true}, {"ByTitle", {{"Title", true}}}}});
    // Values of 20 to 500 KB, one a row, about 260 KB on average.
    s.rows = static_cast<uint64_t>(sizeMb * 1024 / 262);
    s.deletedPct = 10;
    s.fill = [](std::size_t, uint64_t, std::mt19937& rng) {
        std::uniform_int_distribution<std::size_t> size(20 << 10, 500 << 10);
        const std::size_t n = size(rng);
        std::vector<Value> v{Value{}, words(rng, 10, 110),
                             36000.0 + static_cast<double>(rng() % 3000000) / 100.0, Value{},
                             Value{}};
        if (rng() % 2 == 0) {
            std::string text = words(rng, 200, 400);
            std::string body;
            while (body.size() < n) body += text;
            body.resize(n);
            while (!body.empty() && (static_cast<unsigned char>(body.back()) & 0x80) != 0)
                body.pop_back();  // whole characters
            v[3] = body;
        } else {
            jet::Bytes blob(n);
            uint32_t x = static_cast<uint32_t>(rng());
            for (auto& b : blob) {
                x = x * 1664525u + 1013904223u;
                b = static_cast<uint8_t>(x >> 24);
            }
            v[4] = std::move(blob);
        }
        return v;
    };
    return s;
}

Shape wide(double sizeMb) {
    Shape s;
    BuildTable t{"Measurements", {{"ID", ColumnType::kLong, 0, true}}, {}};
    const ColumnType kinds[] = {ColumnType::kLong,     ColumnType::kDouble, ColumnType::kText,
                                ColumnType::kDateTime, ColumnType::kInt,    ColumnType::kBool};
    for (int c = 1; c < 150; ++c) {
        const ColumnType type = kinds[c % 6];
        t.columns.push_back({"C" + std::to_string(c), type, 24});
    }
    t.indexes = {{"PrimaryKey", {{"ID", true}}, true},
                 {"ByC2", {{"C2", true}}},
                 {"ByC3", {{"C3", true}, {"C1", true}}}};
    s.tables.push_back(t);
    // About a million rows a gigabyte.
    s.rows = static_cast<uint64_t>(sizeMb * 1000);
    s.deletedPct = 10;
    s.fill = [t](std::size_t, uint64_t, std::mt19937& rng) {
        std::vector<Value> v{Value{}};
        for (std::size_t c = 1; c < t.columns.size(); ++c) {
            const uint32_t r = static_cast<uint32_t>(rng());
            if (r % 13 == 0 && t.columns[c].type != ColumnType::kBool) {
                v.push_back(Value{});
                continue;
            }
            switch (t.columns[c].type) {
                case ColumnType::kLong:
                    v.push_back(static_cast<int64_t>(r % 2000000));
                    break;
                case ColumnType::kDouble:
                    v.push_back(static_cast<double>(r) / 977.0);
                    break;
                case ColumnType::kText:
                    v.push_back(name(rng, 5000));
                    break;
                case ColumnType::kDateTime:
                    v.push_back(36000.0 + (r % 100000) / 10.0);
                    break;
                case ColumnType::kInt:
                    v.push_back(static_cast<int64_t>(r % 30000));
                    break;
                default:
                    v.push_back(r % 2 == 0);
                    break;
            }
        }
        return v;
    };
    return s;
}

// Greek text for the greek shape.
const char* kGreekCities[] = {"Αθήνα",   "Θεσσαλονίκη", "Πάτρα",    "Ηράκλειο",
                              "Λάρισα",  "Βόλος",       "Ιωάννινα", "Χανιά",
                              "Καβάλα",  "Σέρρες",      "Χαλκίδα",  "Ρόδος",
                              "Κέρκυρα", "Τρίκαλα",     "Καλαμάτα", "Αλεξανδρούπολη"};
const char* kGreekWords[] = {
    "Εμπορική", "Τεχνική",   "Ναυτιλιακή", "Παπαδόπουλος",        "Γεωργίου",
    "Νικολάου", "Οινοποιία", "Ελαιόλαδο",  "Κατασκευές",          "Υιοί",
    "Αδελφοί",  "Τρόφιμα",   "Μεταφορές",  "Καφέ-Ζαχαροπλαστείο", "Βιβλιοπωλείο",
    "Φαρμακείο"};
const char* kGreekForms[] = {"Α.Ε.", "Ο.Ε.", "Ε.Π.Ε.", "Ι.Κ.Ε.", "& ΣΙΑ"};

template <std::size_t N>
const char* pick(const char* const (&from)[N], std::mt19937& rng) {
    return from[rng() % N];
}

// A customer's code: the first three letters of a city and a number, one a
// customer ("ΑΘΗ-0000042"), as Greek capitals.
std::string greekCode(uint64_t customer) {
    static const char* kPrefixes[] = {"ΑΘΗ", "ΘΕΣ", "ΠΑΤ", "ΗΡΑ", "ΛΑΡ", "ΒΟΛ", "ΙΩΑ", "ΧΑΝ"};
    char digits[16];
    std::snprintf(digits, sizeof digits, "-%07llu", static_cast<unsigned long long>(customer));
    return std::string(kPrefixes[customer % 8]) + digits;
}

Shape greek(double sizeMb) {
    Shape s;
    s.tables.push_back({"Customers",
                        {{"Code", ColumnType::kText, 12},
                         {"Company", ColumnType::kText, 80},
                         {"City", ColumnType::kText, 40},
                         {"Phone", ColumnType::kText, 20},
                         {"Since", ColumnType::kDateTime}},
                        {{"PrimaryKey", {{"Code", true}}, true},
                         {"ByCompany", {{"Company", true}}},
                         {"ByCity", {{"City", true}, {"Company", true}}}}});
    s.tables.push_back({"Orders",
                        {{"ID", ColumnType::kLong, 0, true},
                         {"Customer", ColumnType::kText, 12},
                         {"Placed", ColumnType::kDateTime},
                         {"Amount", ColumnType::kMoney},
                         {"Note", ColumnType::kText, 120}},
                        {{"PrimaryKey", {{"ID", true}}, true},
                         {"ByCustomer", {{"Customer", true}}},
                         {"ByPlaced", {{"Placed", true}}}}});
    s.shares = {1, 5};
    // About 150 bytes of file a row, customers and orders together.
    s.rows = static_cast<uint64_t>(sizeMb * 1024 * 1024 / 150);
    s.deletedPct = 10;
    const uint64_t customers = s.rowsOf(0);
    s.fill = [customers](std::size_t table, uint64_t row, std::mt19937& rng) {
        if (table == 0) {
            std::string company = std::string(pick(kGreekWords, rng)) + " " +
                                  pick(kGreekWords, rng) + " " + pick(kGreekForms, rng);
            return std::vector<Value>{greekCode(row), company, std::string(pick(kGreekCities, rng)),
                                      "210-" + std::to_string(1000000 + rng() % 9000000),
                                      36000.0 + static_cast<double>(rng() % 9000)};
        }
        std::string note =
            rng() % 3 == 0 ? std::string()
                           : std::string(pick(kGreekWords, rng)) + " — " + pick(kGreekCities, rng);
        return std::vector<Value>{Value{}, greekCode(rng() % std::max<uint64_t>(customers, 1)),
                                  40000.0 + static_cast<double>(rng() % 3000000) / 100.0,
                                  static_cast<int64_t>(rng() % 50000000),
                                  note.empty() ? Value{} : Value{note}};
    };
    return s;
}

bool makeShape(const std::string& shape, double sizeMb, Shape& out) {
    if (shape == "mixed")
        out = mixed(sizeMb, 30);
    else if (shape == "narrow")
        out = narrow(sizeMb, false);
    else if (shape == "scrambled")
        out = narrow(sizeMb, true);
    else if (shape == "tables")
        out = manyTables(sizeMb);
    else if (shape == "memo")
        out = memo(sizeMb);
    else if (shape == "wide")
        out = wide(sizeMb);
    else if (shape == "deleted")
        out = mixed(sizeMb, 80);
    else if (shape == "greek")
        out = greek(sizeMb);
    else
        return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: jet4-generate OUT.mdb SIZE_MB [--shape NAME] [--password P] "
                     "[--seed N]\n";
        return 2;
    }
    const std::string out = argv[1];
    const double sizeMb = std::atof(argv[2]);
    jet::BuildOptions options;
    unsigned seed = 1;
    std::string shapeName = "mixed";
    for (int i = 3; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--password")
            options.password = argv[i + 1];
        else if (a == "--seed")
            seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
        else if (a == "--shape")
            shapeName = argv[i + 1];
    }
    Shape shape;
    if (!makeShape(shapeName, sizeMb, shape)) {
        std::cerr << "jet4-generate: no shape named '" << shapeName
                  << "' (mixed, narrow, scrambled, tables, memo, wide, deleted, greek)\n";
        return 2;
    }
    auto built = jet::DatabaseBuilder::create(out, options, shape.tables);
    if (!built) {
        std::cerr << "jet4-generate: " << built.error().description << "\n";
        return 1;
    }
    auto& b = *built.value();
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pct(0, 99);
    const std::size_t tables = shape.tables.size();
    for (std::size_t t = 0; t < tables; ++t) {
        const uint64_t rows = shape.rowsOf(t);
        for (uint64_t r = 0; r < rows; ++r) {
            const auto v = shape.fill(t, r, rng);
            const bool deleted = pct(rng) < shape.deletedPct;
            auto s = b.addRow(t, v, deleted);
            if (!s) {
                std::cerr << "jet4-generate: " << s.error().description << "\n";
                return 1;
            }
            if (shape.unusedEvery != 0 && r % shape.unusedEvery == shape.unusedEvery - 1)
                (void)b.addUnusedPages(3);
        }
    }
    auto f = b.finish();
    if (!f) {
        std::cerr << "jet4-generate: " << f.error().description << "\n";
        return 1;
    }
    return 0;
}
