// Where the pages of a file that was changed as a whole now lie. A Jet 4
// file is a grid of 4096-byte pages; a transfer in text mode (a CR byte put
// before every LF byte, or every CR LF pair made LF) or a run of bytes put
// in or taken out moves every later page off the grid. The pages' own
// structure shows where each now starts, and often how to put its bytes
// right: page n of the file as it was is a segment of the file as it is,
// with a fix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/Page.h"
#include "jet/Env.h"

namespace jet {

struct PageGrid {
    enum class Fix : uint8_t {
        kNone,   // the segment's first 4096 bytes, zeros after a short one
        kDropCr, // each CR byte before an LF byte taken out
        kAddCr,  // a CR byte put back before each LF byte
        kLost,   // bytes put in or taken out somewhere inside: read as zeros
    };
    struct Segment {
        uint64_t offset = 0;
        uint32_t length = kPageSize;
        Fix fix = Fix::kNone;
    };
    std::vector<Segment> pages;  // page n as it was
    std::string found;           // what the file went through, for the report
    uint32_t unsure = 0;         // pages whose bytes could not be put right

    // Page n's 4096 bytes from its segment's bytes.
    static void fill(const Segment& s, const uint8_t* in, Page& out);
};

// Whether the bytes look like the start of a page of a Jet 4 file of pages
// pages, decoded (the header's key applied by the caller): a data page whose
// free space is what its table of slots says, a definition or index page
// with a sound header, or a usage bitmap or a page of type 8 or 9 (which
// later versions of Access write) with a free space that fits.
bool looksLikePage(const uint8_t* page, std::size_t available, uint32_t pages);

// The grid of a file whose length is no whole number of pages, read whole;
// nullopt where its pages lie on the plain grid (a file cut short), where
// no grid is found, or where the file cannot be read. An encoded file's
// pages are decoded with the key its page 0 holds.
std::optional<PageGrid> findPageGrid(Env& env, int fd, uint64_t size);

}  // namespace jet
