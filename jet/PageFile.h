// Reads the pages of a database file on demand, decoding encoded pages. The
// file is opened read-only; pages are never all held at once.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jet/Header.h"
#include "jet/Page.h"

namespace jet {

class PageFile {
  public:
    // Opens the file and reads its header; refuses anything but Jet 4 and a
    // file whose length is not a whole number of pages.
    static std::unique_ptr<PageFile> open(const std::string& path);
    ~PageFile();
    PageFile(const PageFile&) = delete;
    PageFile& operator=(const PageFile&) = delete;

    const Header& header() const { return header_; }
    uint32_t pageCount() const { return pageCount_; }
    uint64_t fileSize() const { return fileSize_; }
    const std::string& path() const { return path_; }
    int fd() const { return fd_; }

    // The decoded page; a number beyond the end of the file is damage.
    std::shared_ptr<const Page> page(uint32_t number);
    // Damage when a pointer leads beyond the end of the file.
    void checkPageNumber(uint32_t number) const;

  private:
    PageFile() = default;
    std::string path_;
    int fd_ = -1;
    uint64_t fileSize_ = 0;
    uint32_t pageCount_ = 0;
    Header header_;
    // A small direct-mapped cache: the same few pages are asked for again
    // and again.
    static constexpr std::size_t kCachePages = 1024;
    struct Cached {
        uint32_t number = 0;
        std::shared_ptr<Page> page;  // reused in place once no caller holds it
    };
    std::vector<Cached> cache_ = std::vector<Cached>(kCachePages);
    static constexpr uint32_t kReadAhead = 32;
    std::array<std::shared_ptr<Page>, kReadAhead> runPages_;  // the run being read
    static constexpr std::size_t kStreams = 4;
    std::array<uint32_t, kStreams> nextInSequence_{1, 1, 1, 1};
    std::size_t nextStream_ = 0;
};

}  // namespace jet
