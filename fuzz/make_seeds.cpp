// Writes seed inputs for the fuzz targets from real database files:
// page 0s, table definitions with a row of their table, index pages, long
// values with their LVAL pages, and the smaller files whole.
// Usage: make_seeds OUT_DIR FILE...
#include <filesystem>
#include <fstream>
#include <iostream>

#include "format/DataPage.h"
#include "format/Row.h"
#include "read/Database.h"

namespace fs = std::filesystem;

namespace {
int counter = 0;

// The password of a fixture from the MANIFEST.tsv beside its folder, if any.
std::string manifestPassword(const fs::path& file) {
    std::ifstream in(file.parent_path().parent_path() / "MANIFEST.tsv");
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos;
             start = tab + 1) {
            cols.push_back(line.substr(start, tab - start));
        }
        cols.push_back(line.substr(start));
        if (cols.size() > 8 && cols[0] == file.filename().string() &&
            cols[8].rfind("yes: ", 0) == 0) {
            return cols[8].substr(5);
        }
    }
    return "";
}
void put(const fs::path& dir, const std::vector<uint8_t>& bytes) {
    fs::create_directories(dir);
    std::ofstream f(dir / ("seed-" + std::to_string(counter++)), std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: make_seeds OUT_DIR FILE...\n";
        return 2;
    }
    const fs::path out = argv[1];
    for (int i = 2; i < argc; ++i) {
        try {
            auto db = jet::Database::open(jet::Env::standard(), argv[i], manifestPassword(argv[i]));
            auto& file = db->file();
            put(out / "header",
                std::vector<uint8_t>(file.header().raw.begin(), file.header().raw.end()));
            if (file.fileSize() <= 4096 * 64) {
                std::ifstream in(argv[i], std::ios::binary);
                put(out / "database", std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
            }
            for (const auto& t : db->localTables()) {
                const jet::TableDef& def = db->tableDef(t.tdefPage(), t.name);
                std::vector<uint8_t> seed;
                seed.push_back(static_cast<uint8_t>(def.length));
                seed.push_back(static_cast<uint8_t>(def.length >> 8));
                seed.insert(seed.end(), def.buffer.begin(), def.buffer.begin() + def.length);
                bool one = false;
                db->scanRows(def, [&](const jet::RowLocation&, jet::ByteView row) {
                    if (one) return;
                    one = true;
                    seed.insert(seed.end(), row.begin(), row.end());
                });
                if (def.length < 0xFFFF) put(out / "tabledef", seed);
            }
            for (uint32_t p = 3; p < file.pageCount(); ++p) {
                auto page = file.page(p);
                if ((*page)[0] == jet::kPageIndexLeaf || (*page)[0] == jet::kPageIndexNode) {
                    put(out / "indexpage", std::vector<uint8_t>(page->begin(), page->end()));
                } else if ((*page)[0] == jet::kPageData && jet::u32(*page, 4) == jet::kOwnerLval) {
                    // A single-row value in row 0 of the page's copy at page 3.
                    jet::DataPage dp = jet::parseDataPage(*page, p);
                    if (dp.slots.empty()) continue;
                    std::vector<uint8_t> seed(12, 0);
                    jet::put32(seed.data(), dp.slots[0].length() | 0x40000000u);
                    jet::put32(seed.data() + 4, jet::RowPtr{3, 0}.toU32());
                    seed.insert(seed.end(), page->begin(), page->end());
                    put(out / "longvalue", seed);
                }
            }
        } catch (const std::exception& e) {
            std::cerr << argv[i] << ": " << e.what() << "\n";
        }
    }
    return 0;
}
