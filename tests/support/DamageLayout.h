// Where a sound database keeps its tables, pages and rows, read before it is
// damaged, so that a damage can aim at a part and a repair be judged row by
// row: which rows the damage left readable, and whether each one came back.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "format/IndexPage.h"
#include "format/Page.h"
#include "format/TableDef.h"
#include "support/Fixtures.h"

namespace testsupport {

// A row of the original and where its bytes lie.
struct Placed {
    std::string table, canonical;
    uint32_t page = 0, slot = 0;                // its slot (what indexes point to)
    uint32_t dataPage = 0, start = 0, end = 0;  // its bytes
    uint32_t stubStart = 0, stubEnd = 0;        // an overflow row's pointer, on its slot's page
    std::vector<uint32_t> lvPages;              // pages its long values lie on
};

struct Layout {
    struct Table {
        jet::TableDef def;
        bool system = false;
        std::vector<uint32_t> dataPages, lvPages;
        std::vector<std::vector<uint32_t>> indexLeaves, indexNodes;  // by index
    };
    std::vector<Table> tables;        // user tables
    std::vector<Table> systemTables;  // the catalogue and the other system tables
    std::vector<uint32_t> cataloguePages, mapPages;
    std::vector<Placed> rows;                    // the user tables' rows
    std::map<std::string, Placed> catalogueRows;  // each user table's row in the catalogue
    std::map<std::string, uint64_t> systemRows;  // the system tables' live rows
    uint32_t pages = 0;
    uint32_t databaseKey = 0;
};

// Reads the layout of a sound file with the engine's own reader.
Layout layoutOf(const fs::path& file, const std::string& password);

// Whether the damage left a row's bytes, its slot, its page's header (and an
// overflow row's stub) and its table's definition as they were. With
// longValues, the pages its memo and OLE values lie on too; without
// wholeHeader, of its pages' headers only the count of slots (a page whose
// type or owner field is damaged still holds readable rows).
bool intact(const Placed& r, const Layout& l, const std::string& before, const std::string& after,
            bool longValues = false, bool wholeHeader = true);

// How many of want the rows got hold, a row counting where it is one of
// want's or one of them with some values left out (set to null).
uint64_t matched(std::vector<std::string> want, std::vector<std::string> got);

// The rows mdbtools reads from a table of a file that may be damaged (a
// reading that hangs is cut off).
std::vector<std::string> mdbRowsWithin(const fs::path& file, const std::string& table);
// The same for several tables, one after the other.
std::vector<std::string> mdbRowsWithin(const fs::path& file, const std::set<std::string>& tables);

// part of whole as a percentage with one decimal ("-" of nothing).
std::string percent(uint64_t part, uint64_t whole);

// An encoded file's pages decoded, or encoded again (page 0 is never
// encoded); a file whose key is 0 is returned as it is.
// Page p of a file held in memory: its bytes, to damage, or a copy of them.
uint8_t* pageBytes(std::string& file, uint32_t p);
jet::Page pageCopy(const std::string& file, uint32_t p);
// Rewrites the index leaf on page p with its entries as edit leaves them.
void editLeaf(std::string& file, uint32_t p,
              const std::function<void(std::vector<jet::IndexEntry>&)>& edit);

// One element of v chosen at random; nullptr when v is empty.
template <typename T>
const T* pickOne(const std::vector<T>& v, std::mt19937& g) {
    if (v.empty()) return nullptr;
    return &v[std::uniform_int_distribution<std::size_t>(0, v.size() - 1)(g)];
}

std::string decodedPages(std::string bytes, uint32_t databaseKey);
std::string encodedPages(std::string bytes, uint32_t databaseKey);

}  // namespace testsupport
