#include "support/SampleDatabase.h"

#include <stdexcept>

#include "support/Fixtures.h"

namespace testsupport {

using jet::Bytes;
using jet::ColumnType;
using jet::Value;

jet::BuildTable sampleTable() {
    return {"Customers",
            {{"ID", ColumnType::kLong, 0, true},
             {"Name", ColumnType::kText, 60},
             {"Joined", ColumnType::kDateTime},
             {"Active", ColumnType::kBool},
             {"Grade", ColumnType::kByte},
             {"Visits", ColumnType::kInt},
             {"Balance", ColumnType::kMoney},
             {"Ratio", ColumnType::kSingle},
             {"Score", ColumnType::kDouble},
             {"Notes", ColumnType::kMemo},
             {"Picture", ColumnType::kOle},
             {"Key", ColumnType::kGuid}},
            {{"PrimaryKey", {{"ID", true}}, true},
             {"ByName", {{"Name", true}}},
             {"ByJoined", {{"Joined", false}, {"Visits", true}}}}};
}

Value sampleValue(int i, std::size_t k) {
    static const char* names[] = {
        "Åsa Öberg", "O'Brien & Sons", "Frankfurt a.M. ", "co-op", "Zoë", "", "ACME", "acme"};
    switch (k) {
        case 0:
            return std::monostate{};  // AutoNumber
        case 1:
            return i % 13 == 0 ? Value{}
                               : Value{std::string(names[i % 8]) + " " + std::to_string(i % 41)};
        case 2:
            return 36000.25 + i * 0.75;
        case 3:
            return i % 3 == 0;
        case 4:
            return int64_t(i % 256);
        case 5:
            return int64_t((i * 37) % 2000 - 1000);
        case 6:
            return int64_t(i) * 123456 - 5000000;
        case 7:
            return 0.25 * i;
        case 8:
            return i % 17 == 0 ? Value{} : Value{-1.5e-3 * i * i};
        case 9:
            return std::string(static_cast<std::size_t>(i % 9 == 0 ? 6000 : 20 + i % 50),
                               static_cast<char>('a' + i % 26));
        case 10:
            return i % 5 == 0
                       ? Value{}
                       : Value{Bytes(static_cast<std::size_t>(i % 4 == 0 ? 9000 : 40 + i % 3000),
                                     static_cast<uint8_t>(i))};
        case 11: {
            Bytes g(16);
            for (std::size_t b = 0; b < 16; ++b)
                g[b] = static_cast<uint8_t>(i * 7 + static_cast<int>(b));
            return g;
        }
    }
    return std::monostate{};
}

void buildSampleDatabase(const std::string& path, const SampleOptions& o) {
    jet::BuildOptions opts;
    opts.password = o.password;
    opts.databaseKey = o.databaseKey;
    auto b = jet::DatabaseBuilder::create(path, opts, {sampleTable()});
    if (!b) throw std::runtime_error(b.error().description);
    for (int i = 0; i < o.rows; ++i) {
        std::vector<Value> v;
        for (std::size_t k = 0; k < 12; ++k) v.push_back(sampleValue(i, k));
        const auto form = i % 3 == 0 ? jet::LongValueForm::kChain : jet::LongValueForm::kBySize;
        auto r = b.value()->addRow(0, v, o.deadSpace && i % 4 == 3, form);
        if (!r) throw std::runtime_error(r.error().description);
        if (o.deadSpace && i == o.rows / 2) (void)b.value()->addUnusedPages(4);
    }
    auto f = b.value()->finish();
    if (!f) throw std::runtime_error(f.error().description);
}

std::string sampleDatabaseBytes(const SampleOptions& options) {
    TempDir dir;
    buildSampleDatabase((dir / "sample.mdb").string(), options);
    return readFile(dir / "sample.mdb");
}

}  // namespace testsupport
