// What every page of a file says it is, taken in one pass over the file:
// its type byte and, for data pages, its owner and how many live rows its
// slot table lists; with what the global usage map says is free. A table's
// pages are found from it when its own usage map cannot be trusted.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "format/PageFile.h"
#include "format/TableDef.h"

namespace jet {

class PageCensus {
  public:
    struct Entry {
        uint32_t owner = 0;             // data and index pages: the owner field
        uint8_t type = 0;               // byte 0
        uint8_t liveRows = 0;           // data pages: slots not marked deleted
        bool startsDefinition = false;  // a table definition's first page
    };

    // Reads every page of the file once.
    static PageCensus take(PageFile& file);

    uint32_t pageCount() const { return static_cast<uint32_t>(pages_.size()); }
    const Entry& operator[](uint32_t page) const { return pages_[page]; }
    // Data pages that name owner, ascending.
    std::vector<uint32_t> dataPagesOf(uint32_t owner) const;
    // Pages that start a table definition (type 2, the definition's
    // constant in place), ascending.
    std::vector<uint32_t> definitionPages() const;
    // Whether the global usage map marks the page free; false when the map
    // cannot be read.
    bool globallyFree(uint32_t page) const { return page < free_.size() && free_[page]; }
    // Pages past the header that are no free page (type byte 0), and of
    // those the ones whose structure is a Jet 4 page's where they lie.
    uint32_t usedPages() const { return used_; }
    uint32_t pagesInPlace() const { return inPlace_; }

  private:
    std::vector<Entry> pages_;
    std::vector<bool> free_;
    uint32_t used_ = 0, inPlace_ = 0;
};

// The pages each table's owned map lists, by definition page, for the
// tables whose map can be read.
std::map<uint32_t, std::vector<uint32_t>> readOwnedMaps(PageFile& file,
                                                        const std::vector<const TableDef*>& tables);

// Whether data pages naming the table lie outside its map (another table's
// map may list them) while the pages its map lists hold fewer live rows
// than its definition counts: then only its salvage can tell whose rows
// they are.
bool pagesMayBeMissing(const PageCensus& census, const TableDef& def,
                       const std::vector<uint32_t>& listed, uint64_t listedRows);

}  // namespace jet
